#pragma once
// The block compressions behind sha256_hasher, named here for the tests that hold
// them against each other.

#include <cstddef>
#include <cstdint>

// Runs the compression over `count` consecutive 64-byte blocks, updating the eight
// state words (A..H).
using sha256_blocks_function = void (*)(std::uint32_t state[8], const unsigned char* blocks,
                                        std::size_t count);

// FIPS 180-4's compression in plain C++.
void sha256_blocks_portable(std::uint32_t state[8], const unsigned char* blocks, std::size_t count);

// The compression the hasher uses on this processor: the SHA-extension one where
// the processor has them, the portable one otherwise.
sha256_blocks_function sha256_blocks_chosen();
