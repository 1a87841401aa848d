#include "link/Handshake.h"

#include "common/Encodings.h"
#include "tests/unit/BridgeTest.h"

class HandshakeTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    SetArgs({"-dir", "C:\\Crm"});
    LinkState.ProxyWindow = CreateProxyWindow();
    ASSERT_NE(LinkState.ProxyWindow, 0u);
  }

  // One handshake with the first window, through the loop.
  bool Ask(TMCPIPCOdpowiedz& reply, std::string& message, bool background = false, bool listenLate = false) {
    Handshake = THandshake();
    Handshake.MayListenLate = listenLate;
    Handshake.Window = Fake.Windows.front().Handle;
    Handshake.ProxyWindow = LinkState.ProxyWindow;
    Handshake.Background = background;
    StartHandshake(Handshake, [] {});
    while (Handshake.Step != HandshakeStep::Done) {
      Fake.RunLoopOnce(std::min<std::uint32_t>(HandshakeWakeIn(Handshake), 1000));
      ContinueHandshake(Handshake, true, [] {});
    }
    message = Handshake.Message;
    if (Handshake.Answered) reply = Handshake.Reply;
    return Handshake.Answered;
  }

  THandshake Handshake;
};

TEST_F(HandshakeTest, RequestText) {
  EXPECT_EQ(BuildHandshakeRequest(2755260, true, "k1"), "1\r\n2755260\r\n1\r\nMCP=k1");
  EXPECT_EQ(BuildHandshakeRequest(2755260, false, ""), "1\r\n2755260\r\n0\r\nMCP=");
}

TEST_F(HandshakeTest, AnswerFromWithinTheRequest) {
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [this](const std::string&) {
    Fake.AnswerNow("OK\r\n8123\r\ntok\r\n\r\nMCP=");
    return true;
  };
  TMCPIPCOdpowiedz reply;
  std::string message;
  ASSERT_TRUE(Ask(reply, message, true));
  EXPECT_EQ(Fake.HandshakeRequests, std::vector<std::string>{"1\r\n2755260\r\n1\r\nMCP="});
  EXPECT_EQ(reply.Status, "OK");
  EXPECT_EQ(reply.Port, 8123);
  EXPECT_EQ(reply.Token, "tok");
  EXPECT_TRUE(reply.KeySupported);
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"Żądanie dostarczone, odpowiedź w trakcie wysyłki: tak."});
  EXPECT_EQ(Fake.LastSendFrom, LinkState.ProxyWindow);  // the sender in wParam, as WM_COPYDATA has it
}

TEST_F(HandshakeTest, AnswerAfterConsent) {
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [this](const std::string&) {
    Fake.AnswerLater("OK\n1\nt", 2000);
    return true;
  };
  TMCPIPCOdpowiedz reply;
  std::string message;
  ASSERT_TRUE(Ask(reply, message));
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 "Żądanie dostarczone, odpowiedź w trakcie wysyłki: nie.",
                                 "Po dopompowaniu komunikatów odpowiedź: jest.",
                             }));
  EXPECT_EQ(Fake.HandshakeRequests.size(), 1u);
}

TEST_F(HandshakeTest, ALateAnswerToAnEarlierRequestIsNotTakenForThisOne) {
  Fake.AnswerLater("OK\r\n1\r\nstale", 0);  // arrived since an earlier handshake
  Fake.RunLoopOnce(0);                         // and the loop took it in at once
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [this](const std::string&) {
    Fake.AnswerLater("OK\r\n2\r\nfresh", 2000);
    return true;
  };
  TMCPIPCOdpowiedz reply;
  std::string message;
  ASSERT_TRUE(Ask(reply, message));
  EXPECT_EQ(reply.Token, "fresh");
}

TEST_F(HandshakeTest, OnlyTheSecondRequestIsAnswered) {
  int requests = 0;
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [&](const std::string&) {
    if (++requests == 2) Fake.AnswerNow("DENIED\r\n\r\n\r\nNie");
    return true;
  };
  TMCPIPCOdpowiedz reply;
  std::string message;
  ASSERT_TRUE(Ask(reply, message));
  EXPECT_EQ(reply.Status, "DENIED");
  EXPECT_EQ(reply.Message, "Nie");
  EXPECT_EQ(Fake.LogLines().back(), "Po ponowieniu odpowiedź: jest.");
}

TEST_F(HandshakeTest, NoAnswerToEitherRequest) {
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [](const std::string&) { return true; };
  TMCPIPCOdpowiedz reply;
  reply.Status = "untouched";
  std::string message;
  EXPECT_FALSE(Ask(reply, message));
  EXPECT_EQ(reply.Status, "untouched");
  EXPECT_EQ(message, "Orvin przyjął żądanie, ale nie odesłał odpowiedzi (okno proxy: 2755260, dwie próby).");
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 "Żądanie dostarczone, odpowiedź w trakcie wysyłki: nie.",
                                 "Po dopompowaniu komunikatów odpowiedź: nadal jej brak.",
                                 "Ponawiam żądanie o port i token.",
                                 "Po ponowieniu odpowiedź: nadal jej brak.",
                             }));
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);
}

TEST_F(HandshakeTest, WindowThatDoesNotTakeTheRequest) {
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [](const std::string&) { return false; };
  TMCPIPCOdpowiedz reply;
  std::string message;
  EXPECT_FALSE(Ask(reply, message));
  EXPECT_EQ(message, "Orvin nie odpowiedział na żądanie w wyznaczonym czasie.");
  EXPECT_TRUE(Fake.LogLines().empty());
  EXPECT_EQ(Fake.HandshakeRequests.size(), 1u);
  // Closed while it asked its user: whatever error the send gives, Orvin is gone.
  Fake.Windows.front().OnCopyData = [this](const std::string&) {
    Fake.LastErrorValue = 5;
    Fake.Windows.clear();
    return false;
  };
  Fake.Windows.front().SendError = 0;
  Fake.Windows.front().TakesMs = 3000;
  const std::uint32_t start = Fake.Tick;
  EXPECT_FALSE(Ask(reply, message));
  EXPECT_EQ(message, "Orvin został zamknięty, zanim odpowiedział na żądanie.");
  EXPECT_EQ(Fake.Tick - start, 3000u);  // no waiting out the send's two minutes
}

TEST_F(HandshakeTest, AWindowThatTookTheRequestIsHeardLateInsteadOfBeingAskedAgain) {
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [this](const std::string&) {
    if (Fake.HandshakeRequests.size() == 2) Fake.AnswerLater("OK\r\n3\r\nlate", 90000);  // its user took a while
    return true;
  };
  TMCPIPCOdpowiedz reply;
  std::string message;
  ASSERT_TRUE(Ask(reply, message, false, true));
  EXPECT_EQ(reply.Token, "late");
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);
  EXPECT_EQ(Fake.LogLines().back(), "Spóźniona odpowiedź Orvina nadeszła.");
  Fake.Windows.front().OnCopyData = [](const std::string&) { return true; };
  std::uint32_t start = Fake.Tick;
  EXPECT_FALSE(Ask(reply, message, false, true));
  EXPECT_EQ(Fake.Tick - start, 120000u);  // from the first request the window took

  // A window that closes is not waited for, before the repeat or while heard late.
  for (std::uint32_t closesAfter : {1000u, 30000u}) {
    Fake.ErrorOutput.clear();
    start = Fake.Tick;
    Fake.At(start + closesAfter, [this] { Fake.Windows.clear(); });
    EXPECT_FALSE(Ask(reply, message, false, true));
    EXPECT_EQ(message, "Orvin został zamknięty, zanim odpowiedział na żądanie.");
    EXPECT_LE(Fake.Tick - start - closesAfter, 500u);
    EXPECT_EQ(Fake.LogLines().back(), message);
    Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [](const std::string&) { return true; };
  }
  EXPECT_EQ(Fake.HandshakeRequests.size(), 7u);  // closed before the repeat, the window was asked once
}

TEST_F(HandshakeTest, WithoutATagNothingIsSent) {
  Fake.FailRegisterMessage = true;
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [](const std::string&) { return true; };
  TMCPIPCOdpowiedz reply;
  std::string message;
  EXPECT_FALSE(Ask(reply, message));
  EXPECT_TRUE(Fake.HandshakeRequests.empty());
}

TEST_F(HandshakeTest, ACopyWithAnotherTagDoesNotEndTheWait) {
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [this](const std::string&) {
    Fake.AnswerLater("OK\r\n1\r\nforeign", 100, 0x1111);
    Fake.AnswerLater("OK\r\n2\r\nours", 1000);
    return true;
  };
  TMCPIPCOdpowiedz reply;
  std::string message;
  ASSERT_TRUE(Ask(reply, message));
  EXPECT_EQ(reply.Token, "ours");
}

TEST_F(HandshakeTest, AnswerIsReadOnlyUpToTheDeliveredBlock) {
  // Nothing asked: another program's port and token are taken in and dropped.
  EXPECT_TRUE(ProxyWindowProc(FakePlatform::kTag, "OK\r\n5\r\nabcdef", 9));
  EXPECT_FALSE(HandshakeReplyArrived());
  ListenForHandshakeReply();
  EXPECT_TRUE(ProxyWindowProc(FakePlatform::kTag, "OK\r\n5\r\nabcdef", 9));
  EXPECT_EQ(HandshakeReply(), "OK\r\n5\r\nab");
  EXPECT_TRUE(ProxyWindowProc(FakePlatform::kTag, nullptr, 4));
  EXPECT_EQ(HandshakeReply(), "");
  EXPECT_FALSE(ProxyWindowProc(0x1111, "x", 2));
}

TEST_F(HandshakeTest, ParseAnswer) {
  TMCPIPCOdpowiedz r = ParseHandshakeReply("OK\r\n 8080 \r\n tok \r\n");
  EXPECT_EQ(r.Status, "OK");
  EXPECT_EQ(r.Port, 8080);
  EXPECT_EQ(r.Token, "tok");
  EXPECT_EQ(r.Message, "");
  EXPECT_FALSE(r.KeySupported);

  r = ParseHandshakeReply("OTHER\r\n\r\n\r\n\r\n MCP=k");
  EXPECT_FALSE(r.KeySupported);
  r = ParseHandshakeReply("OTHER\r\n\r\n\r\n\r\nMCP=");
  EXPECT_TRUE(r.KeySupported);
  EXPECT_EQ(r.Key, "");
  r = ParseHandshakeReply("OTHER\n0\n\nmsg\nMCP= k2 \nextra");
  EXPECT_EQ(r.Key, "k2");
  EXPECT_EQ(r.Message, "msg");

  r = ParseHandshakeReply("OK\r1\rt");
  EXPECT_EQ(r.Port, 1);
  EXPECT_EQ(r.Token, "t");
  r = ParseHandshakeReply("OK\n\r7\nt");  // LF CR is two breaks
  EXPECT_EQ(r.Port, 0);
  EXPECT_EQ(r.Token, "7");

  EXPECT_EQ(ParseHandshakeReply("OK\r\n12ab\r\nt").Port, 0);
  EXPECT_EQ(ParseHandshakeReply("OK\r\n-5\r\nt").Port, -5);
  EXPECT_EQ(ParseHandshakeReply("OK\r\n99999999999\r\nt").Port, 0);

  r = ParseHandshakeReply("");
  EXPECT_EQ(r.Status, "ERROR");
  EXPECT_EQ(r.Message, "Pusta odpowiedź z Orvina.");
}
