#pragma once
// Starting other programs: the patch tool (hidden, waited for), the application
// and the new launcher copy of a self-update (shown, not waited for).

#include <string>

// The command-line word of a run, setup or removal that shows no window (and of a
// run that starts no application).
constexpr const char* silent_option = "--silent";

// Starts the UTF-8 command line; the program is its first token by the system's
// rules. True when the process was created; a failure is logged as
// "CreateProcess failed: <code>". Invalid UTF-8 throws utf8_conversion_error.
bool run_process(const std::string& command_line, bool wait, bool hidden);

// The path in double quotes, so that a path with blanks is one argument and is
// never resolved by the system's rule for unquoted program paths.
std::string quoted(const std::string& path);
