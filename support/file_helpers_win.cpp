#include "file_helpers.h"
#include "logfile.h"
#include "platform.h"
#include "utf8.h"
#include "win_handles.h"

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

// Asks the system to write the file's data to the disk now.
DWORD flush_to_disk(const std::wstring& path) {
    const file_handle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !FlushFileBuffers(file.get()))
        return GetLastError();
    return ERROR_SUCCESS;
}

} // namespace

std::wstring system_path(const std::string& path) {
    return with_long_path_prefix(utf8_to_wide(path));
}

DWORD retry_while_file_held(const std::string& description, held_file_pauses& pauses,
                            const std::function<DWORD()>& attempt, const held_file_wait& wait) {
    return retry_while_held(pauses, attempt,
                            [&](unsigned long error, std::chrono::milliseconds pause) {
                                log_info("File held by another program, trying again in " +
                                         std::to_string(pause.count()) + " ms: " + description +
                                         " (error " + std::to_string(error) + ")");
                                return wait(pause);
                            });
}

bool store_file_bytes(const std::string& staged, const std::string& path, std::string_view bytes,
                      const held_file_wait& wait) {
    stdio_stream file;
    if (!open_file_utf8("wb", file, staged))
        return false;
    bool stored = write_file(file, bytes.size(), bytes.data()) == bytes.size();
    stored = close_file(file) == 0 && stored;
    held_file_pauses pauses;
    stored = stored && move_into_place(staged, path, pauses, wait) == ERROR_SUCCESS;
    if (!stored)
        delete_file_utf8(staged, wait);
    return stored;
}

std::optional<std::string> read_file_bytes(const std::string& path, std::size_t limit) {
    const std::optional<std::int64_t> size = file_size(path);
    stdio_stream file;
    if (!size || static_cast<std::uint64_t>(*size) > limit || !open_file_utf8("rb", file, path))
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(*size), '\0');
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        return std::nullopt;
    return bytes;
}

DWORD move_into_place(const std::string& source, const std::string& target,
                      held_file_pauses& pauses, const held_file_wait& wait) {
    return move_into_place(system_path(source), system_path(target), pauses, wait);
}

DWORD move_into_place(const std::wstring& source_path, const std::wstring& target_path,
                      held_file_pauses& pauses, const held_file_wait& wait) {
    const std::wstring source = with_long_path_prefix(source_path);
    const std::wstring target = with_long_path_prefix(target_path);
    bool flushed = false;
    const auto attempt = [&]() -> DWORD {
        if (!flushed) {
            if (const DWORD error = flush_to_disk(source))
                return error;
            flushed = true;
        }
        if (!MoveFileExW(source.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return GetLastError();
        return ERROR_SUCCESS;
    };
    return retry_while_file_held("move " + wide_to_utf8(source) + " -> " + wide_to_utf8(target),
                                 pauses, attempt, wait);
}

std::optional<std::int64_t> file_size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(system_path(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    return static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
}

bool ensure_directory(const std::string& path) {
    return ensure_wide_directory(system_path(path));
}

bool create_directory_path(const std::string& path) {
    std::wstring directory = system_path(directory_part(path));
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

void clear_path_for_new_file(const std::string& path, const held_file_wait& wait) {
    const native_path file = path_from_utf8(path);
    held_file_pauses pauses;
    const std::error_code removal = remove_entry(file, pauses, wait);
    if (!removal || removal.value() == ERROR_FILE_NOT_FOUND)
        return;
    const native_path aside = file + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                              std::to_wstring(GetTickCount64()) + L".old";
    MoveFileExW(file.c_str(), aside.c_str(), 0);
}
