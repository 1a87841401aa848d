#include <cstdint>

#include "common/Encodings.h"
#include "common/Files.h"
#include "common/Text.h"
#include "tests/unit/BridgeTest.h"

using EncodingTest = BridgeTest;

namespace {
struct Decoded {
  bool Found;
  std::uint32_t CodePoint;
  int Length;
};

Decoded Decode(const std::string& text, int position) {
  Decoded d{};
  d.Found = DecodeUtf8Char(text, position, d.CodePoint, d.Length);
  return d;
}
}  // namespace

TEST_F(EncodingTest, DecodeUtf8CharIsLenient) {
  auto expect = [](const std::string& text, int position, std::uint32_t codePoint, int length) {
    const Decoded d = Decode(text, position);
    EXPECT_TRUE(d.Found) << text;
    EXPECT_EQ(d.CodePoint, codePoint) << text;
    EXPECT_EQ(d.Length, length) << text;
  };
  expect("\xc3\xb3", 1, 0xF3, 2);
  expect("a\xc3", 2, 0xC3, 1);    // cut off at the end
  expect("\xc3\x41", 1, 0xC1, 2);  // the letter is consumed
  expect("\x80", 1, 0x80, 1);
  expect("\xf0\x9f\x98\x80", 1, 0x1F600, 4);
  expect("\xe2\x82\xac", 1, 0x20AC, 3);
  expect("\xff", 1, 0xFF, 1);
  EXPECT_FALSE(Decode("abc", 0).Found);
  EXPECT_FALSE(Decode("abc", 4).Found);
  EXPECT_FALSE(Decode("", 1).Found);
}

TEST_F(EncodingTest, InvalidUtf8BecomesOneReplacementForEachMaximalPart) {
  const std::string r = "\xef\xbf\xbd";
  const std::pair<std::string, std::string> rows[] = {
      {"B\xb3\xb9" "d", "B" + r + r + "d"},                              // code page 1250
      {"\xed\xa0\x80\xed\x9f\xbf", r + r + r + "\xed\x9f\xbf"},        // an encoded surrogate, then U+D7FF
      {"\xc0\x80\xe0\x9f\xf4\x90\xf5", r + r + r + r + r + r + r},         // overlong, beyond U+10FFFF
      {"\xe2\x82" "A\xf0\x9f\x98", r + "A" + r},                        // cut off
      {"\xc5\x82\xf4\x8f\xbf\xbf\xee\x80\x80", "\xc5\x82\xf4\x8f\xbf\xbf\xee\x80\x80"},  // valid
  };
  for (const auto& row : rows) {
    std::size_t replacements = 0;
    for (std::size_t at = row.second.find(r); at != std::string::npos; at = row.second.find(r, at + 1)) ++replacements;
    std::string text = row.first;
    EXPECT_EQ(ReplaceInvalidUtf8(text), replacements) << row.first;
    EXPECT_EQ(text, row.second);
  }
}

TEST_F(EncodingTest, Utf8ToAnsiGivesCodePage1250) {
  EXPECT_EQ(Utf8ToAnsi(""), "");
  EXPECT_EQ(Utf8ToAnsi("plain ASCII {\"a\":1}"), "plain ASCII {\"a\":1}");
  EXPECT_EQ(Utf8ToAnsi("\xc5\x82\xc3\xb3\xc5\xbc"), "\xb3\xf3\xbf");  // łóż
  EXPECT_EQ(Utf8ToAnsi("a\xf0\x9f\x98\x80z"), "a?z");                 // beyond the basic plane
}

TEST_F(EncodingTest, TheBridgesTextIsUtf8WhateverTheCodePage) {
  Fake.ActiveCodePage = 1252;
  EXPECT_EQ(JsonEscape("Połączono"), "Po\xc5\x82\xc4\x85" "czono");
  // Only the CRM application's handshake texts are ANSI: converted on the way in and out.
  EXPECT_EQ(ParseHandshakeReply("NOPERM\r\n0\r\n\r\nAcc\xe8s refus\xe9").Message, "Acc\xc3\xa8s refus\xc3\xa9");
  EXPECT_EQ(BuildHandshakeRequest(7, true, "cl\xc3\xa9"), "1\r\n7\r\n1\r\nMCP=cl\xe9");
  EXPECT_EQ(CutUtf8("a\xc5\x82", 2), "a");  // never half a letter
  EXPECT_EQ(CutUtf8(std::string(90, '\x80'), 80).size(), 77u);  // bytes that are no UTF-8 are not all cut away
}

TEST_F(EncodingTest, AnsiToUtf8) {
  EXPECT_EQ(AnsiToUtf8(""), "");
  EXPECT_EQ(AnsiToUtf8("\xb3\xb9"), "\xc5\x82\xc4\x85");
}

TEST_F(EncodingTest, WideToCodePageLeavesOutWhatTheCodePageLacks) {
  // "a€łb" into code page 437: neither the euro sign nor ł exists there.
  const std::u16string wide = u"a\u20ac\u0142b";
  EXPECT_EQ(WideToCodePage(wide, 437), "ab");
  EXPECT_EQ(WideToCodePage(wide, kCodePageUtf8), "a\xe2\x82\xac\xc5\x82" "b");
  EXPECT_EQ(WideToCodePage(u"", 852), "");
  EXPECT_EQ(WideToCodePage(u"\U0001F600x", kCodePageUtf8), "\xf0\x9f\x98\x80x");
}

TEST_F(EncodingTest, SanitizeFileName) {
  EXPECT_EQ(SanitizeFileName("  C:\\CRM\\ "), "C__CRM_");
  EXPECT_EQ(SanitizeFileName("a/b*c?d\"e<f>g|h i.j"), "a_b_c_d_e_f_g_h i.j");
}

TEST_F(EncodingTest, TempFolderEndsInABackslash) {
  Fake.TempFolder = "C:\\Users\\x\\Temp";
  EXPECT_EQ(GetTempFolder(), "C:\\Users\\x\\Temp\\");
  Fake.TempFolder = "";
  EXPECT_EQ(GetTempFolder(), "");
}

TEST_F(EncodingTest, WholeFiles) {
  std::string error;
  EXPECT_TRUE(WriteFileText("C:\\f.txt", "abc", error));
  EXPECT_EQ(Fake.Files["C:\\f.txt"], "abc");
  std::string text;
  std::uint32_t code = 0;
  EXPECT_TRUE(ReadFileText("C:\\f.txt", text, error, code, TPatience::None));
  EXPECT_EQ(text, "abc");
  EXPECT_FALSE(ReadFileText("C:\\missing.txt", text, error, code, TPatience::None));
  EXPECT_EQ(error, "Cannot open file C:\\missing.txt");
  EXPECT_EQ(code, 2u);
  Fake.UnwritableFiles.insert("C:\\ro.txt");
  EXPECT_FALSE(WriteFileText("C:\\ro.txt", "x", error));
  EXPECT_EQ(error, "Cannot create file C:\\ro.txt");
  Fake.ShortWriteFiles.insert("C:\\full.txt");
  EXPECT_FALSE(WriteFileText("C:\\full.txt", "x", error));
  EXPECT_EQ(error, "Stream write error");
  Fake.UnreadableFiles.insert("C:\\f.txt");
  EXPECT_FALSE(ReadFileText("C:\\f.txt", text, error, code, TPatience::None));
  EXPECT_EQ(error, "Stream read error");
}
