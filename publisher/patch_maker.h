#pragma once
// BSDIFF40 patches made in memory (suffix array from libdivsufsort, blocks coded
// with libbzip2), and applied in memory with the patch tool's own loop.

#include "byte_files.h"

#include <cstdint>
#include <optional>

// A patch that turns `old_data` into `new_data`. Positions are 32-bit while both
// stay below 2 GiB, 64-bit beyond.
bytes make_patch(std::span<const unsigned char> old_data, std::span<const unsigned char> new_data);

// The most memory that making a patch for files of these sizes takes, with the
// contents it is made from and the proof that applies it: 9 times the size of a
// file, 13 times from 2 GiB on.
std::uint64_t patch_memory_needed(std::uint64_t old_size, std::uint64_t new_size);

// The new file the patch makes from `old_data`; empty when the patch is corrupt.
std::optional<bytes> apply_patch_bytes(std::span<const unsigned char> old_data,
                                       std::span<const unsigned char> patch);
