#pragma once
// Applying a BSDIFF40 patch to a buffer in memory. The three blocks of the patch
// arrive through block readers and the old file through a source, so the loop does
// not care how they are stored.

#include <cstddef>
#include <cstdint>
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

// The old file as a patch reads it: anywhere, in runs that the diff bytes are added to.
class old_file_source {
  public:
    virtual ~old_file_source() = default;
    virtual std::int64_t size() const = 0;
    // Adds the file's bytes from `position` on, all inside the file, to `target`;
    // false when they cannot be read.
    virtual bool add_to(std::int64_t position, std::span<unsigned char> target) = 0;
};

// Adds `from`, byte by byte modulo 256, to `target`.
void add_bytes(const unsigned char* from, std::span<unsigned char> target);

enum class patch_outcome { applied, corrupt, old_file_unreadable };

// Fills all of `new_data` from the blocks and the old file. Each control triple
// (diff count, extra count, old-position step) is checked before use: negative
// counts, counts that run past the end of the new buffer and positions that leave
// the 31-bit range make the patch corrupt. Old-file positions outside the old file
// add nothing. Nothing is written outside `new_data`.
patch_outcome apply_patch(old_file_source& old_file, std::span<unsigned char> new_data,
                          const patch_blocks& blocks);
// The same with the old file in memory.
patch_outcome apply_patch(std::span<const unsigned char> old_data,
                          std::span<unsigned char> new_data, const patch_blocks& blocks);
