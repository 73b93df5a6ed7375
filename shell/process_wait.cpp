#include "process_wait.h"

#include "win_handles.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// As many as 4294967295 has.
constexpr std::size_t most_digits = 10;

bool is_decimal_digit(wchar_t character) {
    return character >= L'0' && character <= L'9';
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

bool wait_for_process_end(DWORD process_id, std::chrono::milliseconds limit) {
    // Waiting for itself would only run into the limit.
    if (process_id == GetCurrentProcessId())
        return true;
    const kernel_handle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    if (!process)
        return true;
    // A failed wait counts as a process still running: files are never replaced
    // under a process that might still use them.
    return WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}
