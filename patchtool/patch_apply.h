#pragma once
// Applying a BSDIFF40 patch to buffers in memory. The three blocks of the patch
// arrive through block readers, so the loop does not care how they are stored.

#include <cstddef>
#include <span>

// One block of a patch, read front to back.
class block_reader {
  public:
    virtual ~block_reader() = default;
    // Fills the whole buffer; false when the block ends first or cannot be read.
    virtual bool read_exact(unsigned char* buffer, std::size_t count) = 0;
};

struct patch_blocks {
    block_reader& control;
    block_reader& diff;
    block_reader& extra;
};

enum class patch_outcome { applied, corrupt };

// Fills all of `new_data` from the blocks and `old_data`. Each control triple
// (diff count, extra count, old-position step) is checked before use: negative
// counts, counts that run past the end of the new buffer and positions that leave
// the 31-bit range make the patch corrupt. Old-file positions outside `old_data`
// add nothing. Nothing is written outside `new_data`.
patch_outcome apply_patch(std::span<const unsigned char> old_data,
                          std::span<unsigned char> new_data, const patch_blocks& blocks);
