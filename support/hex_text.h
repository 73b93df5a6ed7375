#pragma once
// Bytes as hex digits, two per byte, and back: the one hex encoder of the launcher
// and the publisher (keys and signatures, digests, lock names, escapes in URLs).
// Portable.

#include <optional>
#include <span>
#include <string>
#include <string_view>

enum class hex_case { lower, upper };

std::string hex_of(std::span<const unsigned char> bytes, hex_case letters = hex_case::lower);
std::string hex_of(std::string_view bytes);
// The byte's two digits, appended to the text.
void append_hex(std::string& text, unsigned char byte, hex_case letters = hex_case::lower);

// Lower-case hex digits, two per byte, as bytes; nothing for any other text.
std::optional<std::string> bytes_from_hex(std::string_view hex);
