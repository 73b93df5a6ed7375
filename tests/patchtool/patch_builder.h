#pragma once
// Builds BSDIFF40 patches byte by byte, for patches that bsdiff would never write.

#include <cstdint>
#include <string>
#include <vector>

struct control_entry {
    std::int64_t diff_count;
    std::int64_t extra_count;
    std::int64_t old_step;
};

// The format's 8-byte number: magnitude little-endian, sign in the top bit.
std::string patch_number(std::int64_t value);

std::string bzip2_compress(const std::string& data);

// The 32-byte header with the given magic and numbers.
std::string patch_header(const std::string& magic, std::int64_t control_length,
                         std::int64_t diff_length, std::int64_t new_size);

// A whole patch: header and the three bzip2-compressed blocks.
std::string build_patch(const std::vector<control_entry>& control, const std::string& diff,
                        const std::string& extra, std::int64_t new_size);
