#pragma once
// Whole files as byte vectors, and the MD5 and SHA-256 digests of bytes in memory.

#include "sha256.h"

#include <array>
#include <filesystem>
#include <span>
#include <vector>

using bytes = std::vector<unsigned char>;
using digest_bytes = std::array<unsigned char, 16>;

// Throws publish_failure when the file cannot be read completely.
bytes read_whole_file(const std::filesystem::path& path);
// Throws publish_failure when the file cannot be written completely.
void write_whole_file(const std::filesystem::path& path, std::span<const unsigned char> content);

digest_bytes digest_of(std::span<const unsigned char> content);
sha256_digest strong_digest_of(std::span<const unsigned char> content);
