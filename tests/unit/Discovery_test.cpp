#include "link/WindowDiscovery.h"

#include "common/Encodings.h"

#include "tests/unit/BridgeTest.h"

using DiscoveryTest = BridgeTest;

TEST_F(DiscoveryTest, MatchesTheFolderIgnoringLetterCase) {
  const WindowHandle crm = Fake.AddCrmWindow("C:\\Apps\\Crm\\app.exe").Handle;
  TMCPIPCOkna windows;
  TLookAlikes others;
  EXPECT_EQ(FindCrmWindows("c:\\apps\\crm\\", windows, others), 1);
  EXPECT_EQ(windows, TMCPIPCOkna{crm});
  EXPECT_EQ(others.Count, 0);
}

TEST_F(DiscoveryTest, FoldersAsUsersWriteThem) {
  const WindowHandle crm = Fake.AddCrmWindow("C:\\Program Files\\Orvin Zażółć\\Orvin.exe").Handle;
  Fake.LongPaths[u"C:\\PROGRA~1\\ORVINZ~1"] = u"C:\\Program Files\\Orvin Zażółć";
  for (const char* folder : {"C:/Program Files/Orvin Zażółć/", "c:\\PROGRAM FILES\\ORVIN ZAŻÓŁĆ\\",
                             "C:\\PROGRA~1\\ORVINZ~1\\", "C:\\Program Files\\Tools\\..\\Orvin Zażółć\\",
                             "C:\\Program Files\\Orvin Zażółć.\\", "..\\Program Files\\.\\Orvin Zażółć\\"}) {
    TMCPIPCOkna windows;
    TLookAlikes others;
    EXPECT_EQ(FindCrmWindows(folder, windows, others), 1) << folder;
    EXPECT_EQ(windows, TMCPIPCOkna{crm}) << folder;
    EXPECT_EQ(others.Count, 0) << folder;
  }
}

TEST_F(DiscoveryTest, ProgramsFromOtherFoldersAreCountedAsLookAlikes) {
  Fake.AddCrmWindow("C:\\Apps\\Crm\\app.exe");
  TMCPIPCOkna windows;
  TLookAlikes others;
  EXPECT_EQ(FindCrmWindows("C:\\Apps\\", windows, others), 0);
  EXPECT_EQ(others.Count, 1);
  EXPECT_EQ(FindCrmWindows("C:\\Apps\\Crm\\Bin\\", windows, others), 0);
  EXPECT_EQ(others.Count, 1);
}

TEST_F(DiscoveryTest, ClassAndCaptionMustMatchExactly) {
  Fake.AddCrmWindow("C:\\Crm\\a.exe", "Orvin CRM", "TMAIN");
  Fake.AddCrmWindow("C:\\Crm\\a.exe", "Orvin CRM", "TMainForm");
  Fake.AddCrmWindow("C:\\Crm\\a.exe", "ORVIN CRM");
  Fake.AddCrmWindow("C:\\Crm\\a.exe", "Orvin");
  Fake.AddCrmWindow("C:\\Crm\\a.exe", " Orvin CRM");
  Fake.AddCrmWindow("C:\\Crm\\a.exe", "");
  TMCPIPCOkna windows;
  TLookAlikes others;
  EXPECT_EQ(FindCrmWindows("C:\\Crm\\", windows, others), 0);
  EXPECT_EQ(others.Count, 0);
}

TEST_F(DiscoveryTest, UnknownProgramsCountAsLookAlikes) {
  const FakeWindow& window = Fake.AddCrmWindow("C:\\Crm\\a.exe");
  Fake.UnopenableProcesses.insert(window.ProcessId);
  TMCPIPCOkna windows;
  TLookAlikes lookAlikes;
  EXPECT_EQ(FindCrmWindows("C:\\Crm\\", windows, lookAlikes), 0);
  EXPECT_EQ(lookAlikes.Count, 1);
  EXPECT_EQ(lookAlikes.RightsCount, 0);  // gone, not hidden by its rights
  EXPECT_TRUE(lookAlikes.Folders.empty());
}

TEST_F(DiscoveryTest, ProgramsAreReadWithLimitedRightsAlone) {
  const FakeWindow elevated = Fake.AddCrmWindow("C:\\Crm\\a.exe");
  TMCPIPCOkna windows;
  TLookAlikes lookAlikes;
  Fake.ProtectedProcesses.insert(Fake.AddCrmWindow("C:\\Crm\\a.exe").ProcessId);  // refuses even the limited open
  EXPECT_EQ(FindCrmWindows("C:\\Crm\\", windows, lookAlikes), 1);
  EXPECT_EQ(windows, TMCPIPCOkna{elevated.Handle});
  EXPECT_EQ(lookAlikes.Count, 1);
  EXPECT_EQ(lookAlikes.RightsCount, 1);
}

TEST_F(DiscoveryTest, SeveralInstancesInEnumerationOrder) {
  const WindowHandle first = Fake.AddCrmWindow("C:\\Crm\\a.exe", "Orvin CRM 1").Handle;
  Fake.AddCrmWindow("C:\\Elsewhere\\a.exe");
  const WindowHandle second = Fake.AddCrmWindow("C:\\CRM\\A.EXE", "Orvin CRM 2").Handle;
  TMCPIPCOkna windows;
  TLookAlikes others;
  EXPECT_EQ(FindCrmWindows("C:\\Crm\\", windows, others), 2);
  EXPECT_EQ(windows, (TMCPIPCOkna{first, second}));
  EXPECT_EQ(others.Count, 1);
}

TEST_F(DiscoveryTest, BlankFolderSearchesNothing) {
  Fake.AddCrmWindow("C:\\Crm\\a.exe");
  TMCPIPCOkna windows;
  TLookAlikes others;
  EXPECT_EQ(FindCrmWindows("  ", windows, others), 0);
  EXPECT_EQ(Fake.EnumCalls, 0);
}

// A caption is read only from a window of the right class: reading one sends
// WM_GETTEXT, which a hung window of the bridge's own process would never answer.
TEST_F(DiscoveryTest, ClassIsAskedBeforeCaption) {
  Fake.AddCrmWindow("C:\\Crm\\a.exe", "Orvin CRM", "OrvinMCPProxyWnd");
  Fake.AddCrmWindow("C:\\Crm\\a.exe");
  TMCPIPCOkna windows;
  TLookAlikes others;
  EXPECT_EQ(FindCrmWindows("C:\\Crm\\", windows, others), 1);
  EXPECT_EQ(Fake.WindowQueries, (std::vector<std::string>{"class", "class", "caption"}));
}
