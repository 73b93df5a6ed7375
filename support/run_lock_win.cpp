#include "run_lock.h"

#include "md5.h"
#include "utf8.h"

#include <windows.h>

namespace {

std::wstring full_path(const std::wstring& path) {
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return path;
    full.resize(length);
    return full;
}

// Short names expanded; a path that does not exist stays as it is.
std::wstring long_path(const std::wstring& path) {
    std::wstring expanded(GetLongPathNameW(path.c_str(), nullptr, 0), L'\0');
    const DWORD length =
        GetLongPathNameW(path.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (length == 0 || length >= expanded.size())
        return path;
    expanded.resize(length);
    return expanded;
}

std::wstring upper_case(const std::wstring& text) {
    std::wstring upper(text.size(), L'\0');
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(),
                                     static_cast<int>(text.size()), upper.data(),
                                     static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return length == static_cast<int>(text.size()) ? upper : text;
}

} // namespace

std::wstring run_lock_name(const std::wstring& directory) {
    std::wstring path = long_path(full_path(directory));
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    // A mutex name may not hold a backslash beyond its namespace: the path is hashed.
    return L"Local\\Quillomark.run." + utf8_to_wide(md5_hex(wide_to_utf8(upper_case(path))));
}

// A lock that cannot be made at all lets the run go on: a launcher that never runs
// would be worse than two at once. Refused access means another user's run holds it.
run_lock::run_lock(const std::wstring& name) : mutex(CreateMutexW(nullptr, FALSE, name.c_str())) {
    const DWORD error = GetLastError();
    first_ = mutex ? error != ERROR_ALREADY_EXISTS : error != ERROR_ACCESS_DENIED;
}
