#pragma once
// Applying a BSDIFF40 patch. The three blocks of the patch arrive through block
// readers, the old file through a source and the new file leaves through a sink,
// front to back, so the loop does not care how they are stored and holds neither
// file whole.

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

// Where the new file goes, in order.
class new_file_sink {
  public:
    virtual ~new_file_sink() = default;
    // False when the bytes cannot be stored.
    virtual bool write(std::span<const unsigned char> bytes) = 0;
};

// Adds `from`, byte by byte modulo 256, to `target`.
void add_bytes(const unsigned char* from, std::span<unsigned char> target);

enum class patch_result { applied, corrupt, old_file_unreadable, new_file_unwritable };

// The most the loop holds of the new file at once.
inline constexpr std::size_t patch_piece_size = 1024 * 1024;

// Writes the `new_size` bytes of the new file to `new_file`, in pieces of at most
// patch_piece_size. Each control triple (diff count, extra count, old-position
// step) is checked before use: negative counts, counts that run past the new size
// and old positions beyond 2^62 either way make the patch corrupt. Old-file
// positions outside the old file add nothing. A failure may leave part of the new
// file written.
patch_result apply_patch(old_file_source& old_file, std::int64_t new_size, new_file_sink& new_file,
                         const patch_blocks& blocks);
// The same with both files in memory: fills all of `new_data`, and nothing outside it.
patch_result apply_patch(std::span<const unsigned char> old_data, std::span<unsigned char> new_data,
                         const patch_blocks& blocks);
