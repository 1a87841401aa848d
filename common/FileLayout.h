#pragma once
// What a text file of another program says about itself beside its content: a
// byte order mark in front, and the line ends it uses. An edit keeps both.

#include <cstddef>
#include <string>

// 3 when the text begins with UTF-8's byte order mark, else 0.
std::size_t Utf8BomLength(const std::string& text);
// The text begins with a byte order mark of UTF-16, either byte order.
bool StartsWithUtf16Bom(const std::string& text);

// CR LF or LF, as the text's first line ends; CR LF when no line ends, as
// Windows writes.
std::string LineEndOf(const std::string& text);
