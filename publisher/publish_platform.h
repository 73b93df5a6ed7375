#pragma once
// What the publisher needs from the operating system beyond the standard library,
// with one implementation for POSIX hosts and one for Windows. Paths are UTF-8
// text inside the publisher, as on Linux; only these functions meet the system's
// own encoding.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A path from UTF-8 text. Windows' narrow conversion would take the text in the
// ANSI code page, so every name made of text goes through here.
inline std::filesystem::path utf8_path(std::string_view text) {
    return std::filesystem::path(
        std::u8string_view(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

// A path given on the command line. On Windows either slash is taken, and a path
// whose absolute form is too long for the plain calls gets the "\\?\" prefix.
std::filesystem::path argument_path(const std::string& text);

// The path in the form the system's file calls take. On Windows a path whose
// absolute form is too long for the plain calls gets the "\\?\" prefix, and one
// that has it keeps backslashes only, as the prefix takes a slash literally.
std::filesystem::path system_usable_path(const std::filesystem::path& path);

struct found_entry {
    enum class kind { file, directory, other };
    std::filesystem::path path;     // for the system's calls (system_usable_path)
    std::filesystem::path relative; // below the directory walked
    kind type = kind::other;
    std::uint64_t size = 0; // of a file
};

// Hands every entry below `directory` to `visit`, a directory before what it holds;
// `visit` returns whether a directory's entries are wanted. Links to directories
// are handed over but not entered. Throws std::filesystem::filesystem_error when a
// directory cannot be listed.
void walk_directory(const std::filesystem::path& directory,
                    const std::function<bool(const found_entry&)>& visit);

// Makes standard output and standard error carry UTF-8 bytes unchanged ("\n" stays
// "\n"), and a console show them as UTF-8.
void use_utf8_console();

bool standard_error_is_terminal();

unsigned long process_id();

// The machine's physical memory in bytes, 0 when it cannot be told.
std::uint64_t physical_memory_bytes();

enum class private_file_outcome { written, exists, not_created, not_written };
// Creates the file, only when there is none, readable by its owner alone.
private_file_outcome write_private_file(const std::filesystem::path& path,
                                        const std::string& content);

// Whether a program of this name (without ".exe") is found on the PATH.
bool program_on_path(const std::string& name);

// Runs the program found on the PATH under arguments[0] and waits for it; its
// standard error goes to standard output. The exit status, or nothing when it
// could not be started.
std::optional<int> run_program(const std::vector<std::string>& arguments);

// The launcher template installed with this program: below /usr/share from the
// Debian package, beside the program from the Windows zip.
std::filesystem::path installed_template_file();
