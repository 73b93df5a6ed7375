#pragma once
// The few operating-system services that the portable support code needs, with
// one implementation for Windows and one for POSIX hosts.

#include "file_helpers.h"
#include "log_format.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <system_error>

std::uint32_t current_thread_id();

// The system time in the local time zone, to the microsecond.
log_time current_local_time();

// Passes text to an attached debugger, where the platform has such a channel.
void write_debug_output(const std::string& text);

// The block that read_file_through reads into, its only buffer.
constexpr std::size_t file_read_block_size = 64 * 1024;
// Reads the file at a UTF-8 path front to back, handing each run of bytes read to
// `on_bytes`. Returns the file's size, taken before reading, or -1 when the file
// cannot be opened. A read error ends the reading early, like the end of the file.
std::int64_t
read_file_through(const std::string& path,
                  const std::function<void(const unsigned char*, std::size_t)>& on_bytes);

// A file-system path from a UTF-8 string.
native_path path_from_utf8(const std::string& path);

// fopen of a UTF-8 path with a sharing mode that denies other processes nothing.
std::FILE* open_shared_stream(const std::string& path, const std::string& mode);

// True when the path itself is a symbolic link, junction or other reparse point.
bool is_link(const native_path& path);

// Whether the path is a directory, a link followed to what it names; `error` is set
// when that cannot be told (nothing there, or a link that leads nowhere).
bool is_directory_at(const native_path& path, std::error_code& error);

// Hands the full path of every entry of the directory but "." and ".." to `visit`,
// which may remove it; the error that ended the listing early, if any.
std::error_code list_directory(const native_path& directory,
                               const std::function<void(const native_path&)>& visit);

// Removes a file, an empty directory or a link itself (never what it points to);
// the error is the one the system gave for that removal. On Windows a hold by
// another program is waited out with `pauses`, each pause through `wait`.
std::error_code remove_entry(const native_path& path, held_file_pauses& pauses,
                             const held_file_wait& wait);
