#include "read_ahead_block.h"

#include <algorithm>
#include <cstring>

read_ahead_block::read_ahead_block(bzip2_block& source) : source_(source) {
    thread_ = std::thread([this] { decode(); });
}

read_ahead_block::~read_ahead_block() {
    {
        const std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

// The thread's edge: a chunk that cannot be decoded, for want of memory too, ends
// the block early, which the reading side reports as a corrupt patch.
void read_ahead_block::decode() {
    for (;;) {
        std::vector<unsigned char> bytes;
        {
            std::unique_lock guard(lock_);
            changed_.wait(guard, [this] { return stopping_ || decoded_.size() < chunks_ahead; });
            if (stopping_)
                return;
            if (!spare_.empty()) {
                bytes = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        chunk next;
        try {
            next = decode_chunk(std::move(bytes));
        } catch (...) {
            next.last = true;
        }
        const bool last = next.last;
        {
            const std::lock_guard guard(lock_);
            decoded_.push_back(std::move(next));
        }
        changed_.notify_all();
        if (last)
            return;
    }
}

read_ahead_block::chunk read_ahead_block::decode_chunk(std::vector<unsigned char> bytes) {
    bytes.resize(chunk_size);
    chunk next;
    bool ended = false;
    const long got = source_.read_some(bytes.data(), bytes.size(), ended);
    next.filled = got > 0 ? static_cast<std::size_t>(got) : 0;
    next.last = got <= 0 || ended;
    next.bytes = std::move(bytes);
    return next;
}

bool read_ahead_block::read_exact(unsigned char* buffer, std::size_t count) {
    std::unique_lock guard(lock_);
    while (count > 0) {
        changed_.wait(guard, [this] { return !decoded_.empty(); });
        // The decoding thread only appends, which leaves this element in place.
        chunk& front = decoded_.front();
        const std::size_t taken = std::min(count, front.filled - read_position_);
        guard.unlock();
        std::memcpy(buffer, front.bytes.data() + read_position_, taken);
        guard.lock();
        buffer += taken;
        count -= taken;
        read_position_ += taken;
        if (read_position_ < front.filled)
            continue;
        if (front.last)
            return count == 0;
        spare_.push_back(std::move(front.bytes));
        decoded_.pop_front();
        read_position_ = 0;
        changed_.notify_all();
    }
    return true;
}
