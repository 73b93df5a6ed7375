#pragma once
// The BSDIFF40 patch header and the format's 8-byte numbers.
//
// A patch starts with a 32-byte header: the magic "BSDIFF40", then the compressed
// length of the control block, the compressed length of the diff block and the
// size of the new file. Numbers are stored as a 63-bit magnitude, least significant
// byte first, with the sign in the top bit of the last byte, and are read whole:
// files, blocks and positions may pass 2 GiB and 4 GiB.

#include <cstddef>
#include <cstdint>
#include <optional>

inline constexpr std::size_t patch_header_size = 32;
inline constexpr std::size_t patch_number_size = 8;

struct patch_header {
    std::int64_t control_length;
    std::int64_t diff_length;
    std::int64_t new_size;
};

std::int64_t decode_patch_number(const unsigned char* bytes);

// Empty when the magic differs or a length is negative.
std::optional<patch_header> parse_patch_header(const unsigned char* bytes);
