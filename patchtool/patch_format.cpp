#include "patch_format.h"

#include <cstring>

namespace {

constexpr char patch_magic[] = "BSDIFF40";
constexpr unsigned char sign_bit = 0x80;

} // namespace

std::int64_t decode_patch_number(const unsigned char* bytes) {
    std::uint64_t magnitude = bytes[patch_number_size - 1] & ~sign_bit;
    for (std::size_t i = patch_number_size - 1; i-- > 0;)
        magnitude = (magnitude << 8) | bytes[i];
    const auto value = static_cast<std::int64_t>(magnitude);
    return (bytes[patch_number_size - 1] & sign_bit) != 0 ? -value : value;
}

std::optional<patch_header> parse_patch_header(const unsigned char* bytes) {
    if (std::memcmp(bytes, patch_magic, patch_number_size) != 0)
        return std::nullopt;
    const patch_header header{decode_patch_number(bytes + patch_number_size),
                              decode_patch_number(bytes + 2 * patch_number_size),
                              decode_patch_number(bytes + 3 * patch_number_size)};
    if (header.control_length < 0 || header.diff_length < 0 || header.new_size < 0)
        return std::nullopt;
    return header;
}
