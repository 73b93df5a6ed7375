#pragma once
// File-system helpers on UTF-8 paths. Invalid UTF-8 throws utf8_conversion_error
// (on Windows) before any file is touched.

#include "held_files.h"
#include "stdio_stream.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#ifdef _WIN32
#include "long_paths.h"

#include <windows.h>
#endif

// Sleeps through a pause before a retry; always goes on.
bool sleep_through(std::chrono::milliseconds pause);

// Removes the file, a read-only one too; true when no file is left at the path. A
// file held by another program stays (on Windows after waiting up to 10 s for the
// hold to end, each pause through `wait`, with a log line per try).
bool delete_file_utf8(const std::string& path, const held_file_wait& wait = sleep_through);

// Copies the source's bytes over the destination in chunks of at most 4 MiB.
// False when either file cannot be opened or a read or write fails. A missing
// source, or one whose length cannot be measured or is 2 GiB or more, leaves the
// destination untouched.
bool copy_file_contents(const std::string& source, const std::string& destination);

// A path in the form the system's file calls take: UTF-16 on Windows, where the C++
// library's file-system paths would bring its whole locale and stream machinery
// (1 MB) into the launcher; the library's path elsewhere.
#ifdef _WIN32
using native_path = std::wstring;
#else
using native_path = std::filesystem::path;
#endif

// Deletes a directory tree (a trailing backslash is ignored). Every removal is
// logged with the prefix "_DeleteDirectory "; nothing is thrown. Links inside the
// tree are removed as links, never followed. Holds by other programs are waited
// out with `pauses`, which every removal of the tree shares, each pause through
// `wait`; what is still held then stays.
void DeleteDirectory(const std::string& path, held_file_pauses pauses = held_file_pauses(),
                     const held_file_wait& wait = sleep_through);

// The recursive worker of DeleteDirectory.
void _DeleteDirectory(const native_path& path, held_file_pauses& pauses,
                      const held_file_wait& wait);

#ifdef _WIN32
// The UTF-16 form of a path for the system's file calls, a long one with the "\\?\"
// prefix (long_paths.h).
std::wstring system_path(const std::string& path);

// Runs a file operation, which returns a system error (0 for success), again while
// another program holds the file (held_files.h). Each retry writes one log line
// naming `description` ("move A -> B"). Returns the last error.
DWORD retry_while_file_held(const std::string& description, held_file_pauses& pauses,
                            const std::function<DWORD()>& attempt,
                            const held_file_wait& wait = sleep_through);

// Moves `source` over `target` in one step, its data flushed to the disk first, so
// that after a power cut the target holds its old content or all of the new one,
// never a file whose blocks were not written yet. A hold on either file is waited
// out with `pauses`. Returns the system error, 0 on success.
DWORD move_into_place(const std::string& source, const std::string& target,
                      held_file_pauses& pauses, const held_file_wait& wait = sleep_through);
// The same on wide paths, long ones given the "\\?\" prefix here.
DWORD move_into_place(const std::wstring& source, const std::wstring& target,
                      held_file_pauses& pauses, const held_file_wait& wait = sleep_through);

// Writes `bytes` to `staged` and moves that over `path` (move_into_place), so that
// the path holds either its old content or all of the new; false when either step
// fails, and the staged file is then removed.
bool store_file_bytes(const std::string& staged, const std::string& path, std::string_view bytes,
                      const held_file_wait& wait = sleep_through);

// A file's whole content; none when it cannot be read or holds more than `limit` bytes.
std::optional<std::string> read_file_bytes(const std::string& path, std::size_t limit);

// The size of a plain file, from one question to the system; none when there is
// no such file.
std::optional<std::int64_t> file_size(const std::string& path);

// True when the directory exists afterwards; a plain file of that name gives false.
bool ensure_directory(const std::string& path);

// Clears the path for a new file: removes the file there (a hold waited out through
// `wait`) or, when that fails, renames it beside itself under a name of its own. A
// file that a running (or suspended) program was started from can be renamed,
// though neither replaced nor deleted. Whatever still stands in the way shows when
// the new file is written.
void clear_path_for_new_file(const std::string& path, const held_file_wait& wait = sleep_through);

// Creates every directory of a path ("C:\a\b\file.dat" or "C:\a\b\"); true when
// the deepest one exists afterwards. Forward slashes count as backslashes.
bool create_directory_path(const std::string& path);
#endif
