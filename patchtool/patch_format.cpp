#include "patch_format.h"

#include <cstring>
#include <limits>

namespace {

constexpr char patch_magic[] = "BSDIFF40";
constexpr unsigned char sign_bit = 0x80;

std::optional<std::int32_t> decode_non_negative(const unsigned char* bytes) {
    const auto value = decode_patch_number(bytes);
    if (!value || *value < 0)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::int32_t> decode_patch_number(const unsigned char* bytes) {
    std::uint64_t magnitude = bytes[patch_number_size - 1] & ~sign_bit;
    for (std::size_t i = patch_number_size - 1; i-- > 0;)
        magnitude = (magnitude << 8) | bytes[i];
    if (magnitude > std::uint64_t{std::numeric_limits<std::int32_t>::max()})
        return std::nullopt;
    const auto value = static_cast<std::int32_t>(magnitude);
    return (bytes[patch_number_size - 1] & sign_bit) != 0 ? -value : value;
}

std::optional<patch_header> parse_patch_header(const unsigned char* bytes) {
    if (std::memcmp(bytes, patch_magic, patch_number_size) != 0)
        return std::nullopt;
    const auto control_length = decode_non_negative(bytes + patch_number_size);
    const auto diff_length = decode_non_negative(bytes + 2 * patch_number_size);
    const auto new_size = decode_non_negative(bytes + 3 * patch_number_size);
    if (!control_length || !diff_length || !new_size)
        return std::nullopt;
    return patch_header{*control_length, *diff_length, *new_size};
}
