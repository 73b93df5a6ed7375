#pragma once
// file_info: one file's record (name, size, flags, MD5 digest), and the digest of
// a file on disk.

#include "md5.h"
#include "sha256.h"

#include <cstdint>
#include <string>

struct file_info {
    // Bit 0 of flags: the server stores the file as an LZMA container.
    static constexpr std::uint8_t lzma_container_flag = 0x01;
    // The records store a size in 32 bits; read unsigned, the bytes that files below
    // 2 GiB have always been written with stand for files of up to 4 GiB - 1.
    static constexpr std::uint64_t largest_size = 0xFFFFFFFFu;

    std::string name; // UTF-8, relative to the installation directory
    std::uint32_t size = 0;
    std::uint8_t flags = 0;
    md5_digest digest{}; // all zero when not computed
};

// Reads the file at `path` (UTF-8) and returns its record under `name`. A file that
// cannot be opened, or that is larger than a record can state, gives size 0 and an
// all-zero digest. With `strong`, the same read also gives the file's SHA-256.
file_info make_file_info(const std::string& name, const std::string& path,
                         sha256_digest* strong = nullptr);

// True when size > 0, the name is not empty and the digest is not all zero.
bool file_info_valid(const file_info& record);

// Compares only the 16 digest bytes.
bool digests_equal(const file_info& a, const file_info& b);
