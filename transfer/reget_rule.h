#pragma once
// The REGET rule of the file sinks: bytes that arrive for a range the file already
// holds are compared with the file, not written again. Offsets are 64-bit; a
// count is what one read delivers.

#include <cstdint>
#include <optional>

// How one write of `count` bytes at `offset` meets a file whose first
// `known_length` bytes are valid.
struct reget_write {
    // Leading bytes of the data that fall below known_length: compared with the file.
    std::int32_t compared;
    // The bytes after them, written to the file.
    std::int32_t written;
    // The offset after the write: the sink's result.
    std::int64_t end;
    // The furthest byte known to be valid afterwards.
    std::int64_t known_length;
};

// Empty for a write that starts before the file or ends past the largest 64-bit
// offset: such a file cannot be stored.
std::optional<reget_write> plan_reget_write(std::int64_t known_length, std::int64_t offset,
                                            std::int32_t count);
