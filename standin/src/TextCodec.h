#pragma once
// Conversions between the texts the stand-in meets: UTF-8 on HTTP, the active
// ANSI code page in window messages and on the command line.

#include <string>

std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);

// Decodes %XX and '+' of a URL query value; bytes stay as they are.
std::string UrlDecode(const std::string& text);

// ASCII case-insensitive comparison, for HTTP header names.
bool SameTextAscii(const std::string& a, const std::string& b);

// Lower-cases UTF-8 text including Polish letters, for searches.
std::string LowerUtf8(const std::string& utf8);

std::string TrimText(const std::string& text);
