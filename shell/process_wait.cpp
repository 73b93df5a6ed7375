#include "process_wait.h"

#include "win_handles.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <thread>

namespace {

// As many as 4294967295 has.
constexpr std::size_t most_digits = 10;

// How often the process list is read while a process that cannot be opened runs.
constexpr std::chrono::milliseconds list_pause{250};

bool is_decimal_digit(wchar_t character) {
    return character >= L'0' && character <= L'9';
}

// True or false when the list was read, none when it could not be.
std::optional<bool> listed(DWORD process_id) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const kernel_handle owned(snapshot);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry))
        return std::nullopt;
    do
        if (entry.th32ProcessID == process_id)
            return true;
    while (Process32NextW(snapshot, &entry));
    return GetLastError() == ERROR_NO_MORE_FILES ? std::optional(false) : std::nullopt;
}

} // namespace

std::optional<DWORD> read_decimal_number(std::wstring_view text) {
    if (text.empty() || text.size() > most_digits ||
        !std::all_of(text.begin(), text.end(), is_decimal_digit))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t digit : text)
        value = value * 10 + static_cast<std::uint64_t>(digit - L'0');
    if (value > std::numeric_limits<DWORD>::max())
        return std::nullopt;
    return static_cast<DWORD>(value);
}

bool names_no_process(DWORD open_error) {
    return open_error == ERROR_INVALID_PARAMETER;
}

bool wait_until_unlisted(DWORD process_id, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        // A list that cannot be read counts as one that holds the process.
        if (listed(process_id) == false)
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(list_pause, deadline - now));
    }
}

bool wait_for_process_end(DWORD process_id, std::chrono::milliseconds limit) {
    // Waiting for itself would only run into the limit.
    if (process_id == GetCurrentProcessId())
        return true;
    const kernel_handle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    if (!process) {
        // A process that is there but may not be opened by this user must not count
        // as one that has ended: its files would be replaced under it.
        const DWORD error = GetLastError();
        return names_no_process(error) || wait_until_unlisted(process_id, limit);
    }
    // A failed wait counts as a process still running: files are never replaced
    // under a process that might still use them.
    return WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}
