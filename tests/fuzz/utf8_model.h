#pragma once
// Well-formed UTF-8 decided from the code points themselves, independently of the
// launcher's own table-driven check: decode each sequence, then refuse overlong
// forms, surrogates and values above U+10FFFF.

#include <cstdint>
#include <string_view>

inline bool is_utf8_by_code_points(std::string_view text) {
    for (std::size_t position = 0; position < text.size();) {
        const auto lead = static_cast<unsigned char>(text[position]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || position + length > text.size())
            return false;
        std::uint32_t code_point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t index = 1; index < length; ++index) {
            const auto next = static_cast<unsigned char>(text[position + index]);
            if ((next >> 6) != 0x2)
                return false;
            code_point = (code_point << 6) | (next & 0x3F);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code_point < smallest[length] || code_point > 0x10FFFF ||
            (code_point >= 0xD800 && code_point <= 0xDFFF))
            return false;
        position += length;
    }
    return true;
}
