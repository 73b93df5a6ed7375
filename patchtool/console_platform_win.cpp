#include "console_platform.h"

#include "held_files.h"
#include "long_paths.h"
#include "win_handles.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <cwchar>

namespace {

constexpr DWORD message_capacity = 1024;

std::string to_utf8(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), size, nullptr, nullptr);
    return narrow;
}

std::wstring to_wide(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
    wide.pop_back();
    return wide;
}

// Runs `attempt` (returning a system error, ERROR_SUCCESS for success) again while
// another program holds the file, with one line on standard output per retry that
// names the `call`. The last error is left for the caller, which prints the
// system's text for it.
template <typename Attempt> bool attempt_while_held(const std::string& call, Attempt attempt) {
    held_file_pauses pauses;
    const unsigned long error =
        retry_while_held(pauses, attempt, [&](unsigned long held, std::chrono::milliseconds pause) {
            std::printf("%s: held by another program (error %lu), trying again in %ld ms\n",
                        call.c_str(), held, static_cast<long>(pause.count()));
            std::fflush(stdout);
            Sleep(static_cast<DWORD>(pause.count()));
            return true;
        });
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

} // namespace

std::string utf8_from_wide(const wchar_t* text) {
    return to_utf8(text, static_cast<int>(wcslen(text)));
}

std::FILE* open_file(const char* path, const char* mode) {
    const std::wstring wide_path = with_long_path_prefix(to_wide(path));
    const std::wstring wide_mode = to_wide(mode);
    std::FILE* file = nullptr;
    attempt_while_held(std::string("fopen(") + path + ")", [&]() -> unsigned long {
        file = _wfopen(wide_path.c_str(), wide_mode.c_str());
        return file ? ERROR_SUCCESS : GetLastError();
    });
    return file;
}

bool seek_file(std::FILE* file, std::int64_t offset) {
    return _fseeki64(file, offset, SEEK_SET) == 0;
}

std::int64_t file_length(std::FILE* file) {
    return _fseeki64(file, 0, SEEK_END) == 0 ? _ftelli64(file) : -1;
}

// A directory does not open without FILE_FLAG_BACKUP_SEMANTICS, and a file is of
// the disk type.
bool names_device(const char* path) {
    const file_handle file(CreateFileW(with_long_path_prefix(to_wide(path)).c_str(), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    return file && GetFileType(file.get()) != FILE_TYPE_DISK;
}

namespace {

constexpr UINT launcher_gone_exit_code = 3;

DWORD WINAPI end_when_signalled(void* launcher) {
    WaitForSingleObject(launcher, INFINITE);
    ExitProcess(launcher_gone_exit_code);
}

} // namespace

void end_with_launcher() {
    wchar_t text[16];
    const DWORD length = GetEnvironmentVariableW(L"QUILLOMARK_LAUNCHER_PID", text, 16);
    if (length == 0 || length >= 16)
        return;
    // Held for the tool's lifetime: its thread waits on it.
    static const kernel_handle launcher(
        OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(text, nullptr, 10))));
    if (!launcher)
        ExitProcess(launcher_gone_exit_code);
    const kernel_handle watcher(
        CreateThread(nullptr, 0, end_when_signalled, launcher.get(), 0, nullptr));
}

unsigned long process_id() {
    return GetCurrentProcessId();
}

bool flush_to_disk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool move_file_over(const char* from, const char* to) {
    const std::wstring wide_from = with_long_path_prefix(to_wide(from));
    const std::wstring wide_to = with_long_path_prefix(to_wide(to));
    return attempt_while_held(std::string("MoveFileExW(") + to + ")", [&]() -> unsigned long {
        return MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                   ? ERROR_SUCCESS
                   : GetLastError();
    });
}

void remove_temporary_file(const char* path) {
    DeleteFileW(with_long_path_prefix(to_wide(path)).c_str());
}

void use_binary_standard_output() {
    _setmode(_fileno(stdout), _O_BINARY);
}

std::string last_system_message() {
    const DWORD error = GetLastError();
    wchar_t text[message_capacity];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, message_capacity, nullptr);
    return length > 0 ? to_utf8(text, static_cast<int>(length)) : std::string();
}
