#pragma once
// Starting other programs: the application and the new launcher copy of a
// self-update (shown, not waited for, outliving the launcher), and the patch tool
// (hidden, waited for, ended with the launcher).

#include "win_handles.h"

#include <string>

// The environment variable in which a helper finds the launcher that started it.
constexpr const wchar_t* launcher_pid_variable = L"QUILLOMARK_LAUNCHER_PID";

// The command-line word of a run, setup or removal that shows no window (and of a
// run that starts no application).
constexpr const char* silent_option = "--silent";

// Starts the UTF-8 command line; the program is its first token by the system's
// rules. True when the process was created; a failure is logged as
// "CreateProcess failed: <code>". Invalid UTF-8 throws utf8_conversion_error.
bool run_process(const std::string& command_line);
// The same, handing back the started process (nothing when it was not created).
kernel_handle start_process(const std::string& command_line);

// The same for a hidden helper, waited for, that must not outlive the launcher: it
// runs in the launcher's job, which the system closes when the launcher's process
// ends, however it ends, and which then ends every process in it. The helper also
// finds the launcher's process id in launcher_pid_variable and ends with it.
bool run_helper(const std::string& command_line);

// The path in double quotes, so that a path with blanks is one argument and is
// never resolved by the system's rule for unquoted program paths.
std::string quoted(const std::string& path);
