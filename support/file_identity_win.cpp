#include "file_identity.h"

#include "long_paths.h"
#include "win_handles.h"

std::optional<file_identity> identity_of(const std::wstring& path) {
    const file_handle file(CreateFileW(with_long_path_prefix(path).c_str(), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (!file || !GetFileInformationByHandle(file.get(), &information))
        return std::nullopt;
    return file_identity{information.dwVolumeSerialNumber, information.nFileIndexHigh,
                         information.nFileIndexLow};
}

bool same_file(const std::wstring& first, const std::wstring& second) {
    const auto one = identity_of(first);
    return one && one == identity_of(second);
}

std::wstring full_path(const std::wstring& path) {
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (path.empty() || length == 0 || length >= full.size())
        return {};
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    return full;
}

std::wstring path_in_upper_case(const std::wstring& path) {
    std::wstring upper(path.size(), L'\0');
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(),
                                     static_cast<int>(path.size()), upper.data(),
                                     static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return length == static_cast<int>(path.size()) ? upper : path;
}
