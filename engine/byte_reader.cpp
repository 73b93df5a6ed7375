#include "version_info.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {
constexpr std::int32_t stream_buffer_start = 1024;
constexpr std::uint8_t digest_length = 16;
} // namespace

byte_reader::byte_reader(std::int32_t count, const void* data) {
    assign(count, data);
}

byte_reader::byte_reader(std::FILE* stream)
    : stream_(stream), buffer_(new unsigned char[stream_buffer_start]),
      capacity_(stream_buffer_start) {}

void byte_reader::assign(std::int32_t count, const void* data) {
    count = std::max(count, 0);
    buffer_.reset(new unsigned char[static_cast<std::size_t>(count)]);
    if (count > 0)
        std::memcpy(buffer_.get(), data, static_cast<std::size_t>(count));
    end_ = capacity_ = count;
    pos_ = 0;
}

bool byte_reader::need(std::int32_t n) {
    if (n < 0)
        return false;
    if (end_ - pos_ >= n)
        return true;
    return stream_ && refill(n);
}

// Moves the unread bytes to the front and reads more until n are there or the
// stream ends. The block doubles only when it is full of bytes really read.
bool byte_reader::refill(std::int32_t n) {
    const std::int32_t unread = end_ - pos_;
    std::memmove(buffer_.get(), buffer_.get() + pos_, static_cast<std::size_t>(unread));
    end_ = unread;
    pos_ = 0;
    while (end_ < n) {
        if (end_ == capacity_)
            grow(std::min(capacity_ <= std::numeric_limits<std::int32_t>::max() / 2
                              ? capacity_ * 2
                              : std::numeric_limits<std::int32_t>::max(),
                          n));
        const std::size_t got = std::fread(buffer_.get() + end_, 1,
                                           static_cast<std::size_t>(capacity_ - end_), stream_);
        if (got == 0)
            return false;
        end_ += static_cast<std::int32_t>(got);
    }
    return true;
}

void byte_reader::grow(std::int32_t capacity) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[static_cast<std::size_t>(capacity)]);
    std::memcpy(block.get(), buffer_.get(), static_cast<std::size_t>(end_));
    buffer_ = std::move(block);
    capacity_ = capacity;
}

bool byte_reader::read_bytes(std::int32_t n, void* out) {
    if (!need(n))
        return false;
    if (n > 0)
        std::memcpy(out, buffer_.get() + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return true;
}

bool byte_reader::read_int32(std::int32_t& value) {
    unsigned char bytes[4];
    if (!read_bytes(4, bytes))
        return false;
    value = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24);
    return true;
}

bool byte_reader::read_byte(std::uint8_t& value) {
    return read_bytes(1, &value);
}

file_info byte_reader::read_record() {
    file_info record;
    std::int32_t name_length = 0;
    if (!read_int32(name_length) || !need(name_length))
        return record;
    record.name.assign(reinterpret_cast<const char*>(buffer_.get() + pos_),
                       static_cast<std::size_t>(name_length));
    pos_ += name_length;
    std::int32_t size_bits = 0;
    if (!read_int32(size_bits))
        return record;
    record.size = static_cast<std::uint32_t>(size_bits);
    std::uint8_t length = 0;
    if (!read_byte(record.flags) || !read_byte(length) || length != digest_length)
        return record;
    read_bytes(digest_length, record.digest.data());
    return record;
}
