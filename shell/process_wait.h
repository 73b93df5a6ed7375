#pragma once
// The wait of the restart to update: an application that offers it starts
// "quillomark.exe --after <its own process id>" and exits, and the launcher waits for
// that process to end before it touches any file of the installation.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string_view>

// A number of the command line (a process id, a rate) written as decimal digits, 0
// to 4294967295; none for anything else (an empty text, a sign, blanks, hex, a
// number beyond 32 bits).
std::optional<DWORD> read_decimal_number(std::wstring_view text);

// True once the process has ended, and at once when the id names no process (it has
// ended already, never existed, or is 0) or is this process's own; false when it
// still runs at the limit. A process that cannot be opened (another user's, an
// elevated one: access denied) is waited for through the system's process list.
bool wait_for_process_end(DWORD process_id, std::chrono::milliseconds limit);

// The parts of that wait, for the tests.
//
// True when OpenProcess failed with this error because no process has the id, so
// that there is nothing to wait for. Any other error (access denied above all)
// leaves the process to the process list.
bool names_no_process(DWORD open_error);

// Waits until the system's process list holds no process of this id; false when
// one is still listed at the limit, or the list could not be read until then.
bool wait_until_unlisted(DWORD process_id, std::chrono::milliseconds limit);
