#include "file_helpers.h"
#include "long_paths.h"
#include "platform.h"
#include "utf8.h"
#include "win_handles.h"

#include <share.h>
#include <windows.h>

#include <vector>

std::uint32_t current_thread_id() {
    return GetCurrentThreadId();
}

log_time current_local_time() {
    FILETIME utc;
    FILETIME local;
    SYSTEMTIME calendar;
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &calendar);
    const ULONGLONG ticks =
        (static_cast<ULONGLONG>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
    log_time time;
    time.year = calendar.wYear;
    time.month = calendar.wMonth;
    time.day = calendar.wDay;
    time.hour = calendar.wHour;
    time.minute = calendar.wMinute;
    time.second = calendar.wSecond;
    time.microsecond = static_cast<int>(ticks % 10000000 / 10);
    return time;
}

// Only a debugger reads the echo, and under Wine OutputDebugStringA costs about
// 50 us without one, as much as hashing 40 KiB: once per log line it would dominate
// the check of many small files.
void write_debug_output(const std::string& text) {
    if (IsDebuggerPresent())
        OutputDebugStringA(text.c_str());
}

// The system calls themselves rather than stdio: under Wine, _wfopen and fclose cost
// half as much again as opening and closing the handle, about 60 us a file, which
// shows when thousands of current files are checked.
std::int64_t
read_file_through(const std::string& path,
                  const std::function<void(const unsigned char*, std::size_t)>& on_bytes) {
    const file_handle file(CreateFileW(system_path(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size))
        return -1;
    constexpr DWORD block_size = file_read_block_size;
    std::vector<unsigned char> block(block_size);
    DWORD got = 0;
    while (ReadFile(file.get(), block.data(), block_size, &got, nullptr) && got != 0)
        on_bytes(block.data(), got);
    return size.QuadPart;
}

native_path path_from_utf8(const std::string& path) {
    return system_path(path);
}

std::FILE* open_shared_stream(const std::string& path, const std::string& mode) {
    const std::wstring wide_mode = utf8_to_wide(mode);
    const std::wstring wide_path = system_path(path);
    return _wfsopen(wide_path.c_str(), wide_mode.c_str(), _SH_DENYNO);
}

bool is_link(const native_path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool is_directory_at(const native_path& path, std::error_code& error) {
    // Opened, a link is followed to what it names.
    const file_handle file(
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (!file || !GetFileInformationByHandle(file.get(), &information)) {
        error.assign(static_cast<int>(GetLastError()), std::system_category());
        return false;
    }
    error.clear();
    return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::error_code list_directory(const native_path& directory,
                               const std::function<void(const native_path&)>& visit) {
    WIN32_FIND_DATAW found;
    const find_handle search(FindFirstFileW((directory + L"\\*").c_str(), &found));
    if (!search)
        return {static_cast<int>(GetLastError()), std::system_category()};
    DWORD error = ERROR_SUCCESS;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            visit(with_long_path_prefix(directory + L"\\" + name));
        if (!FindNextFileW(search.get(), &found))
            error = GetLastError();
    } while (error == ERROR_SUCCESS);
    if (error == ERROR_NO_MORE_FILES)
        return {};
    return {static_cast<int>(error), std::system_category()};
}

// The Win32 calls themselves: std::filesystem::remove tries DeleteFileW after a
// failed RemoveDirectoryW and reports that second error. A read-only file is made
// writable first (DeleteFileW refuses it with the error a hold gives), and a hold by
// another program is waited out.
std::error_code remove_entry(const native_path& path, held_file_pauses& pauses,
                             const held_file_wait& wait) {
    const auto attempt = [&]() -> DWORD {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        const bool directory =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if (directory ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))
            return ERROR_SUCCESS;
        return GetLastError();
    };
    const DWORD error =
        retry_while_file_held("remove " + wide_to_utf8(path), pauses, attempt, wait);
    return {static_cast<int>(error), std::system_category()};
}

bool delete_file_utf8(const std::string& path, const held_file_wait& wait) {
    held_file_pauses pauses;
    const std::error_code error = remove_entry(system_path(path), pauses, wait);
    return !error || error.value() == ERROR_FILE_NOT_FOUND || error.value() == ERROR_PATH_NOT_FOUND;
}
