#pragma once
// What the patch tool needs from the operating system's console side.

#include <cstdint>
#include <cstdio>
#include <string>

// Standard output passes bytes through unchanged, so that the tool's messages end in
// a bare "\n" everywhere.
void use_binary_standard_output();

// The operating system's text for the error of the last failed call. On Windows the
// FormatMessageW text for GetLastError (system table, inserts ignored, default
// language, at most 1024 characters) in UTF-8, like the paths the tool prints; on
// other systems strerror(errno). Call it before anything else can change the error.
std::string last_system_message();

// Opens a file by its UTF-8 path with a stdio mode. On Windows a long path gets the
// "\\?\" prefix (long_paths.h), and an open that another program's hold on the file
// prevents is tried again for up to 10 s (held_files.h), with one line on standard
// output per retry.
std::FILE* open_file(const char* path, const char* mode);

// Positions the stream at a byte of the file, counted in 64 bits.
bool seek_file(std::FILE* file, std::int64_t offset);
// The length of the stream's file, or -1 when it cannot be measured; the stream is
// left at its end.
std::int64_t file_length(std::FILE* file);

// Whether the UTF-8 path names a device (NUL, /dev/null, a pipe) rather than a
// file, a directory or nothing.
bool names_device(const char* path);

// The id of this process, which makes a file name of its own.
unsigned long process_id();

// Writes out what the stream buffers and asks the system to put the file's data on
// the disk, so that it is there before anyone moves the file into place.
bool flush_to_disk(std::FILE* file);

// Moves the file at `from` over the file at `to`, present or not, in one step. On
// Windows the move is written through to the disk, and a hold on either file is
// waited out as in open_file.
bool move_file_over(const char* from, const char* to);

// Removes the tool's temporary file at the UTF-8 path.
void remove_temporary_file(const char* path);

#ifdef _WIN32
// When the launcher that started the tool names its process id in
// QUILLOMARK_LAUNCHER_PID, the tool ends as soon as that process ends, however it
// ends: it must not go on reading an installed file, or write its output, for a run
// that is gone.
void end_with_launcher();

// The UTF-8 form of a command-line argument.
std::string utf8_from_wide(const wchar_t* text);
#endif
