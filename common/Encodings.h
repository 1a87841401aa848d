#pragma once
// Text encodings. Text inside the bridge is UTF-8, like
// everything on the standard streams and over HTTP, so its Polish is exact under
// any code page. Only the seams convert: the CRM application's handshake texts
// are ANSI (the active code page), Windows' W calls take wide text, a console
// wants its own output code page.

#include <cstdint>
#include <string>

std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);
std::u16string Utf8ToWide(const std::string& utf8);
// Characters the code page cannot represent are left out, not replaced.
std::string WideToCodePage(const std::u16string& wide, unsigned codePage);

// Wide text of Windows' W calls back to the bridge's own text.
std::string WideToUtf8(const std::u16string& wide);

// At most `maxBytes` of the text, never ending inside a character.
std::string CutUtf8(const std::string& text, std::size_t maxBytes);

// Where the first ill-formed sequence at or behind `from` begins (a stray byte, a
// cut or overlong sequence, an encoded surrogate, a code point beyond U+10FFFF), or
// std::string::npos when there is none; `length` gets the bytes of its maximal
// ill-formed part, as text decoders count them.
std::size_t FindInvalidUtf8(const std::string& text, std::size_t from, std::size_t& length);
bool IsUtf8(const std::string& text);

// Replaces each ill-formed sequence of the text by U+FFFD, one for each maximal
// ill-formed part. Returns how many were replaced; a valid text is neither copied
// nor changed.
std::size_t ReplaceInvalidUtf8(std::string& text);

// Bytes from outside as readable text, one line: valid UTF-8 stays as its
// letters; a line break is shown as \r or \n, any other control character and
// every byte that is no UTF-8 as \xNN.
std::string ShowAsText(const std::string& bytes);

// One code point (up to U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, std::uint32_t code);

// Lenient decoder: position is 1-based; false only outside the text.
bool DecodeUtf8Char(const std::string& text, int position, std::uint32_t& codePoint, int& length);
