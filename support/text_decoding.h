#pragma once
// Text from the server that is meant to be UTF-8 but may not be (release notes
// saved on Windows in the Baltic code page 1257, for example).

#include <string>
#include <string_view>

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view text);

// The text itself when it is valid UTF-8; otherwise every byte read as code page
// 1257 and written as UTF-8 (bytes that page leaves undefined become U+FFFD).
// The result is always valid UTF-8.
std::string decode_text_leniently(std::string_view text);
