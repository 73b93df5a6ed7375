#include "file_identity.h"

#include "long_paths.h"
#include "win_handles.h"

std::optional<file_identity> identity_of(const std::wstring& path) {
    const file_handle file(CreateFileW(
        long_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
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
