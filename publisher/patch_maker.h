#pragma once
// BSDIFF40 patches made in memory (suffix array from libdivsufsort, blocks coded
// with libbzip2), and applied in memory with the patch tool's own loop.

#include "byte_files.h"

#include <optional>

// A patch that turns `old_data` into `new_data`. Both stay below 2 GiB.
bytes make_patch(std::span<const unsigned char> old_data, std::span<const unsigned char> new_data);

// The new file the patch makes from `old_data`; empty when the patch is corrupt.
std::optional<bytes> apply_patch_bytes(std::span<const unsigned char> old_data,
                                       std::span<const unsigned char> patch);
