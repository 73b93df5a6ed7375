#pragma once
// The diff block carries nearly all of a large patch's bzip2 data, and decoding it
// takes as long as everything else the tool does. This reader decodes a block on a
// thread of its own, a few chunks ahead of the loop that adds the old file's bytes,
// so that both run at once.

#include "bzip2_block.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class read_ahead_block final : public block_reader {
  public:
    static constexpr std::size_t chunk_size = 1024 * 1024;
    static constexpr std::size_t chunks_ahead = 4;

    // Starts decoding `source`, which must outlive this reader.
    explicit read_ahead_block(bzip2_block& source);
    // Stops the decoding thread; the source is then positioned anywhere.
    ~read_ahead_block() override;
    read_ahead_block(const read_ahead_block&) = delete;
    read_ahead_block& operator=(const read_ahead_block&) = delete;

    bool read_exact(unsigned char* buffer, std::size_t count) override;

  private:
    struct chunk {
        std::vector<unsigned char> bytes;
        std::size_t filled = 0;
        bool last = false; // the block ends after these bytes, or could not be read
    };

    void decode();
    chunk decode_chunk(std::vector<unsigned char> bytes);

    bzip2_block& source_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<chunk> decoded_;
    std::vector<std::vector<unsigned char>> spare_;
    std::size_t read_position_ = 0; // in decoded_.front()
    bool stopping_ = false;
    std::thread thread_;
};
