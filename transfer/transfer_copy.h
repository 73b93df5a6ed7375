#pragma once
// Sinks that store a transferred body: in a local file (narrow or wide path) with
// the REGET comparison for bytes the file already holds, or in a growing C heap block.
// Offsets are 64-bit, so that a file of 2 GiB or more downloads and resumes.

#include "crt_file.h"
#include "transfer_error.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

class transfer_copy {
  public:
    virtual ~transfer_copy() = default;
    // Stores `count` bytes that belong at byte `offset` of the resource; returns the
    // sink's length afterwards.
    virtual std::int64_t write_at(const char* data, std::int64_t offset, long count) = 0;
    // Called once the body has been read: stores what the sink still holds back.
    // Throws transfer_error when it cannot.
    virtual void finish() {}
};

// What both file sinks share. The file is opened (created, truncated) at the first
// write unless an open file was handed over; bytes that arrive for a range the
// file already holds are compared with it, not rewritten. New bytes are collected
// and written 64 KiB at a time, since a body may arrive in small pieces. finish
// writes the rest; destruction writes it too if it can, cuts the file to
// `known_length`, the furthest byte known to be valid, and closes it.
class file_copy_base : public transfer_copy {
  public:
    ~file_copy_base() override;
    std::int64_t write_at(const char* data, std::int64_t offset, long count) override;
    void finish() override;

    file_copy_base(const file_copy_base&) = delete;
    file_copy_base& operator=(const file_copy_base&) = delete;

  protected:
    file_copy_base() = default;
    file_copy_base(crt_file open_file, std::int64_t known_length);

  private:
    // Opens the sink's path for reading and writing, created and truncated.
    virtual crt_file open_truncated() const = 0;

    void open_at(std::int64_t offset);
    void seek(std::int64_t offset);
    void compare_held(const char* data, std::int64_t offset, long overlap);
    void hold_back(const char* data, std::int64_t offset, long count);
    void write_held_back();
    void write_all(const char* data, long count);

    crt_file fd;
    std::int64_t known_length = 0;
    // New bytes not yet written, which belong at `held_back_offset`.
    std::vector<char> held_back;
    std::int64_t held_back_offset = 0;
    // Where the file is positioned; -1 when unknown. Saves a seek per write when
    // the body arrives in order.
    std::int64_t position = -1;
};

class file_transfer_copy : public file_copy_base {
  public:
    explicit file_transfer_copy(const char* path);
    // Takes over a file already open for reading and writing that holds `known_length` bytes.
    file_transfer_copy(const char* path, crt_file open_file, std::int64_t known_length);

  private:
    crt_file open_truncated() const override;

    const char* path;
};

class file_transfer_copyw : public file_copy_base {
  public:
    explicit file_transfer_copyw(const wchar_t* path);
    file_transfer_copyw(const wchar_t* path, crt_file open_file, std::int64_t known_length);

  private:
    crt_file open_truncated() const override;

    const wchar_t* path;
};

// Collects the body in a C heap block that grows to 4096 bytes beyond the highest
// end offset written, or to twice its size (at most the size limit) when that is
// more. A body that would reach past the size limit (64 MiB unless
// given) fails with transfer_error code 2, so a server that never stops cannot
// exhaust memory. The block is handed on
// with release_data (free it with std::free); a sink destroyed without handing it on frees it.
class memory_transfer_copy : public transfer_copy {
  public:
    static constexpr unsigned long default_size_limit = 64ul << 20;

    explicit memory_transfer_copy(unsigned long size_limit = default_size_limit)
        : size_limit(size_limit) {}

    std::int64_t write_at(const char* data, std::int64_t offset, long count) override;

    const char* data() const noexcept { return block.get(); }
    unsigned long capacity() const noexcept { return block_capacity; }
    unsigned long size() const noexcept { return valid_size; }
    char* release_data() noexcept { return block.release(); }

  private:
    struct c_heap_free {
        void operator()(char* block) const noexcept { std::free(block); }
    };

    void grow_to(unsigned long end);

    std::unique_ptr<char, c_heap_free> block;
    unsigned long block_capacity = 0;
    unsigned long valid_size = 0;
    unsigned long size_limit;
};
