#pragma once
// Keeping the bearer tokens out of the log, in whatever form a text from outside
// carries them. Every token the bridge was given since it started counts: a late
// answer to a request sent with an old token may quote the new one, and the
// other way round. The tokens live in memory only, for the life of the process.
// A late answer may even quote a token issued after the bridge's last handshake:
// a word shaped like the run's tokens (as long as one of 16 characters or more,
// of the same kinds of characters) is hidden too.

#include <string>

// A token the bridge was given for a link; an empty one is no token.
void RememberToken(const std::string& token);

// The text with every remembered token shown as "***": as it is; as a JSON string
// writes it (`\/` for `/`, any character as `\u00XX`); or percent-encoded
// (`%2F`, `%2B`, `%3D`), hex digits in either case, forms mixed at will.
std::string HideTokens(const std::string& text);

// The same for a fragment of a text from outside, one that was cut to a length or
// may have broken off: a tail that is the beginning of a token is hidden too, once
// it is 6 characters or longer. A shorter one tells little, and a text that ends
// in a few letters of a token is far more often no token at all.
std::string HideTokensInFragment(const std::string& text);

// Forgets every token, as at process start.
void ForgetTokens();
