#include "hex_text.h"

namespace {

std::optional<int> hex_value(char digit) {
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    return std::nullopt;
}

} // namespace

void append_hex(std::string& text, unsigned char byte, hex_case letters) {
    const char* digits = letters == hex_case::lower ? "0123456789abcdef" : "0123456789ABCDEF";
    text += digits[byte >> 4];
    text += digits[byte & 15];
}

std::string hex_of(std::span<const unsigned char> bytes, hex_case letters) {
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (const unsigned char byte : bytes)
        append_hex(hex, byte, letters);
    return hex;
}

std::string hex_of(std::string_view bytes) {
    return hex_of({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
}

std::optional<std::string> bytes_from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto high = hex_value(hex[i]);
        const auto low = hex_value(hex[i + 1]);
        if (!high || !low)
            return std::nullopt;
        bytes += static_cast<char>(*high * 16 + *low);
    }
    return bytes;
}
