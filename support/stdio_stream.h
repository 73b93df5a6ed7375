#pragma once
// C stdio streams opened by UTF-8 path, held in an owning slot.

#include "unique_handle.h"

#include <cstddef>
#include <cstdio>
#include <string>

struct stdio_traits {
    using pointer = std::FILE*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer file) noexcept { std::fclose(file); }
};

// A stream slot: null when nothing is open; closes what it holds when destroyed.
using stdio_stream = unique_handle<stdio_traits>;

// Closes what the slot holds, then opens the UTF-8 path with the stdio mode
// ("rb", "wb", ...) without denying other processes any access. Returns whether a
// stream is now open. Throws utf8_conversion_error on Windows for invalid UTF-8.
bool open_file_utf8(const std::string& mode, stdio_stream& slot, const std::string& path);

// Closes the stream; returns fclose's result, or 0 when nothing was open.
int close_file(stdio_stream& slot);

// One fwrite of `count` bytes; returns the number written.
std::size_t write_file(stdio_stream& slot, std::size_t count, const void* data);
