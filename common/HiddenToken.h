#pragma once
// Keeping the bearer token out of the log, in whatever form a text from outside
// carries it.

#include <string>

// The text with every form of the token shown as "***": the token as it is, or as
// a JSON string writes it (`\/` for `/`, any character as `\u00XX` in either case
// of hex digits, mixed at will), and a tail of the text that is a beginning of the
// token, since a text that broke off or was cut in the middle of it would show
// most of it. An empty token hides nothing.
std::string HideToken(const std::string& text, const std::string& token);
