#include "file_helpers.h"
#include "platform.h"
#include "utf8.h"

#include <windows.h>

namespace {

bool is_wide_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ensure_wide_directory(const std::wstring& path) {
    return is_wide_directory(path) || CreateDirectoryW(path.c_str(), nullptr) != 0;
}

// The directory part of a file path: everything before the last backslash, or the
// whole path when it has none, without one trailing backslash.
std::string directory_part(const std::string& path) {
    const std::size_t last = path.rfind('\\');
    std::string directory = last == std::string::npos ? path : path.substr(0, last);
    if (!directory.empty() && directory.back() == '\\')
        directory.pop_back();
    return directory;
}

} // namespace

bool ensure_directory(const std::string& path) {
    return ensure_wide_directory(utf8_to_wide(path));
}

bool create_directory_path(const std::string& path) {
    std::wstring directory = utf8_to_wide(directory_part(path));
    // Mostly the directory is there already: one question instead of one per level.
    if (is_wide_directory(directory))
        return true;
    for (std::size_t position = 0; position < directory.size(); ++position) {
        if (directory[position] == L'/')
            directory[position] = L'\\';
        if (directory[position] == L'\\' && position > 0)
            ensure_wide_directory(directory.substr(0, position));
    }
    return ensure_wide_directory(directory);
}

void clear_path_for_new_file(const std::string& path) {
    const std::filesystem::path file = path_from_utf8(path);
    const std::error_code removal = remove_entry(file);
    if (!removal || removal.value() == ERROR_FILE_NOT_FOUND)
        return;
    std::filesystem::path aside = file;
    aside += L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
             std::to_wstring(GetTickCount64()) + L".old";
    MoveFileExW(file.c_str(), aside.c_str(), 0);
}
