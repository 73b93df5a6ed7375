#include "transfer_copy.h"

#include "reget_rule.h"
#include "transfer_errors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

transfer_error transfer_errors::local_file_error() {
    return {transfer_error::local_file, std::strerror(errno)};
}

namespace {

constexpr int open_flags = _O_BINARY | _O_RDWR | _O_CREAT | _O_TRUNC;
constexpr int open_permissions = _S_IREAD | _S_IWRITE;
constexpr std::size_t held_back_limit = 64 * 1024;

} // namespace

file_copy_base::file_copy_base(crt_file open_file, std::int64_t known_length)
    : fd(std::move(open_file)), known_length(known_length) {}

file_copy_base::~file_copy_base() {
    if (!fd)
        return;
    try {
        write_held_back();
    } catch (...) {
        // Only what reached the file is valid.
        known_length = std::min(known_length, held_back_offset);
    }
    _chsize_s(fd.get(), known_length);
}

std::int64_t file_copy_base::write_at(const char* data, std::int64_t offset, long count) {
    if (!fd)
        open_at(offset);
    const std::optional<reget_write> plan = plan_reget_write(known_length, offset, count);
    if (!plan)
        throw transfer_errors::file_too_large;
    if (plan->compared > 0) {
        write_held_back();
        seek(offset);
        compare_held(data, offset, plan->compared);
    }
    if (plan->written > 0)
        hold_back(data + plan->compared, offset + plan->compared, plan->written);
    known_length = plan->known_length;
    return plan->end;
}

void file_copy_base::finish() {
    if (fd)
        write_held_back();
}

// Bytes that continue the held-back ones join them; others are written first. A
// piece as large as the limit goes straight to the file when nothing waits before it.
void file_copy_base::hold_back(const char* data, std::int64_t offset, long count) {
    if (!held_back.empty() &&
        offset != held_back_offset + static_cast<std::int64_t>(held_back.size()))
        write_held_back();
    if (held_back.empty() && static_cast<std::size_t>(count) >= held_back_limit) {
        seek(offset);
        write_all(data, count);
        return;
    }
    if (held_back.empty())
        held_back_offset = offset;
    held_back.insert(held_back.end(), data, data + count);
    if (held_back.size() >= held_back_limit)
        write_held_back();
}

void file_copy_base::write_held_back() {
    if (held_back.empty())
        return;
    seek(held_back_offset);
    write_all(held_back.data(), static_cast<long>(held_back.size()));
    held_back_offset += static_cast<std::int64_t>(held_back.size());
    held_back.clear();
}

void file_copy_base::open_at(std::int64_t offset) {
    fd = open_truncated();
    if (!fd)
        throw transfer_errors::local_file_error();
    known_length = offset;
}

void file_copy_base::seek(std::int64_t offset) {
    if (offset == position)
        return;
    position = -1;
    if (_lseeki64(fd.get(), offset, SEEK_SET) == -1)
        throw transfer_errors::local_file_error();
    position = offset;
}

// Compares the first `overlap` bytes of `data` with the file from the current
// position on; any difference is an error.
void file_copy_base::compare_held(const char* data, std::int64_t offset, long overlap) {
    std::array<char, held_back_limit> held;
    for (long compared = 0; compared < overlap;) {
        const auto wanted = static_cast<unsigned>(std::min<long>(overlap - compared, held.size()));
        position = -1;
        const int got = _read(fd.get(), held.data(), wanted);
        if (got < 0)
            throw transfer_errors::local_file_error();
        position = offset + compared + got;
        if (got == 0 || std::memcmp(held.data(), data + compared, static_cast<size_t>(got)) != 0)
            throw transfer_errors::files_differ;
        compared += got;
    }
}

void file_copy_base::write_all(const char* data, long count) {
    const std::int64_t start = position;
    position = -1;
    if (_write(fd.get(), data, static_cast<unsigned>(count)) != count)
        throw transfer_errors::local_file_error();
    position = start + count;
}

file_transfer_copy::file_transfer_copy(const char* path) : path(path) {}

file_transfer_copy::file_transfer_copy(const char* path, crt_file open_file,
                                       std::int64_t known_length)
    : file_copy_base(std::move(open_file), known_length), path(path) {}

crt_file file_transfer_copy::open_truncated() const {
    return crt_file(_open(path, open_flags, open_permissions));
}

file_transfer_copyw::file_transfer_copyw(const wchar_t* path) : path(path) {}

file_transfer_copyw::file_transfer_copyw(const wchar_t* path, crt_file open_file,
                                         std::int64_t known_length)
    : file_copy_base(std::move(open_file), known_length), path(path) {}

crt_file file_transfer_copyw::open_truncated() const {
    return crt_file(_wopen(path, open_flags, open_permissions));
}

std::int64_t memory_transfer_copy::write_at(const char* data, std::int64_t offset, long count) {
    if (offset + count > static_cast<std::int64_t>(size_limit))
        throw transfer_errors::too_large_for_memory;
    const auto end = static_cast<unsigned long>(offset + count);
    if (block_capacity < end)
        grow_to(end);
    if (count > 0)
        std::memcpy(block.get() + offset, data, static_cast<size_t>(count));
    valid_size = std::max(valid_size, end);
    return static_cast<std::int64_t>(valid_size);
}

// The block at least doubles, so a body that arrives piece by piece is copied a
// bounded number of times rather than once for every 4 KiB.
void memory_transfer_copy::grow_to(unsigned long end) {
    const unsigned long capacity = std::max(end + 4096, std::min(block_capacity * 2, size_limit));
    char* grown = static_cast<char*>(std::realloc(block.get(), capacity));
    if (grown == nullptr)
        throw transfer_errors::out_of_memory;
    static_cast<void>(block.release());
    block.reset(grown);
    block_capacity = capacity;
}
