#pragma once
// A block of a patch file read through libbzip2: the patch file opened once more,
// positioned at the block's offset, with a bzip2 reader on top.

#include "patch_apply.h"
#include "stdio_stream.h"

#include <bzlib.h>

class bzip2_block final : public block_reader {
  public:
    // Takes over an open stream already positioned at the block.
    explicit bzip2_block(stdio_stream file) : file_(std::move(file)) {}
    ~bzip2_block() override { close_reader(); }
    bzip2_block(const bzip2_block&) = delete;
    bzip2_block& operator=(const bzip2_block&) = delete;

    // Starts the bzip2 reader; returns libbzip2's error code (BZ_OK on success).
    int open_reader();
    bool read_exact(unsigned char* buffer, std::size_t count) override;
    // Reads up to `count` bytes; `ended` is set at the end of the block's bzip2
    // stream. Returns the count read, or -1 when the block cannot be read.
    long read_some(unsigned char* buffer, std::size_t count, bool& ended);
    // Ends the bzip2 reader and closes the file; returns fclose's result.
    int close();

  private:
    void close_reader();

    stdio_stream file_;
    BZFILE* reader_ = nullptr;
};
