#include "installation.h"

#include "file_helpers.h"
#include "file_identity.h"
#include "name_rules.h"
#include "own_resource.h"
#include "utf8.h"
#include "win_handles.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <vector>

namespace {

constexpr std::uint32_t kibibyte = 1024;

std::wstring product_name_from(const std::vector<BYTE>& block) {
    struct translation {
        WORD language;
        WORD code_page;
    };
    translation* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof(translation))
        return {};
    std::array<wchar_t, 64> key{};
    std::swprintf(key.data(), key.size(), L"\\StringFileInfo\\%04x%04x\\ProductName",
                  translations->language, translations->code_page);
    wchar_t* name = nullptr;
    if (!VerQueryValueW(block.data(), key.data(), reinterpret_cast<void**>(&name), &length) ||
        length == 0)
        return {};
    return name;
}

std::uint32_t kibibytes(std::uint64_t bytes) {
    return static_cast<std::uint32_t>((bytes + kibibyte - 1) / kibibyte);
}

// Waits for the job's last process; the job's completion port says when.
void wait_for_empty_job(HANDLE port) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED detail = nullptr;
    while (GetQueuedCompletionStatus(port, &message, &key, &detail, INFINITE))
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            return;
}

// False only when the process is known to run another program than the launcher.
bool runs_launcher(HANDLE process, const wchar_t* launcher_path) {
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process, 0, image.data(), &length))
        return true;
    image.resize(length);
    const auto running = identity_of(image);
    const auto launcher = identity_of(launcher_path);
    return !running || !launcher || *running == *launcher;
}

} // namespace

std::wstring own_folder() {
    return folder_of(own_executable_path());
}

std::wstring folder_of(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\'));
}

std::wstring installed_launcher(const std::wstring& folder) {
    return path_in(folder, installed_launcher_file_name);
}

std::wstring path_in(const std::wstring& folder, const char* name) {
    return folder + L"\\" + utf8_to_wide(name);
}

std::wstring own_product_name() {
    const std::wstring path = own_executable_path();
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    std::wstring name;
    if (!block.empty() &&
        GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()))
        name = product_name_from(block);
    return name.empty() ? L"Quillomark" : name;
}

std::wstring expand_install_dir(const std::string& install_dir) {
    const std::wstring text = utf8_to_wide(install_dir);
    std::wstring expanded(ExpandEnvironmentStringsW(text.c_str(), nullptr, 0), L'\0');
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), expanded.data(),
                                                   static_cast<DWORD>(expanded.size()));
    if (length == 0 || length > expanded.size() || expanded.find(L'%') != std::wstring::npos)
        return {};
    expanded.resize(length - 1);
    return full_path(expanded);
}

std::optional<version_info> installed_record(const std::wstring& folder) {
    stdio_stream file;
    if (!open_file_utf8("rb", file, wide_to_utf8(path_in(folder, installed_record_name))))
        return std::nullopt;
    version_info record(version_info::standard_magic, version_info::standard_format);
    byte_reader reader(file.get());
    if (!record.read(reader) || !names_stay_inside(record))
        return std::nullopt;
    return record;
}

bool has_installed_record(const std::wstring& folder) {
    return path_exists(path_in(folder, installed_record_name));
}

bool holds_launcher(const std::wstring& folder) {
    return file_size(wide_to_utf8(installed_launcher(folder))).has_value();
}

bool path_exists(const std::wstring& path) {
    return GetFileAttributesW(with_long_path_prefix(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool installation_complete(const std::wstring& folder) {
    const auto record = installed_record(folder);
    if (!record)
        return false;
    const std::string base = wide_to_utf8(folder) + "\\";
    for (const auto& file : record->files)
        if (file_size(base + file->name) != file->size)
            return false;
    return true;
}

installation_measure measure_installation(const std::wstring& folder) {
    const auto record = installed_record(folder);
    if (!record)
        return {std::nullopt,
                kibibytes(file_size(wide_to_utf8(installed_launcher(folder))).value_or(0))};
    std::uint64_t bytes = 0;
    for (const auto& file : record->files)
        bytes += file->size;
    return {record->version, kibibytes(bytes)};
}

bool copy_into_place(const std::wstring& source, const std::wstring& target) {
    const std::wstring work = path_in(folder_of(target), work_directory_name);
    const std::wstring staged =
        with_long_path_prefix(work + L"\\" + target.substr(target.rfind(L'\\') + 1) + L".new");
    held_file_pauses pauses;
    const bool copied = ensure_directory(wide_to_utf8(work)) &&
                        CopyFileW(with_long_path_prefix(source).c_str(), staged.c_str(), FALSE) &&
                        move_into_place(staged, target, pauses) == ERROR_SUCCESS;
    if (!copied)
        DeleteFileW(staged.c_str());
    RemoveDirectoryW(with_long_path_prefix(work).c_str());
    return copied;
}

bool start_in_folder(std::wstring command_line, const std::wstring& folder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool run_to_end_in_folder(std::wstring command_line, const std::wstring& folder) {
    // Under Wine the first program that needs the desktop starts its process; asked
    // for here, it does not start inside the job and keep it busy for ever.
    GetDesktopWindow();
    const kernel_handle job(CreateJobObjectW(nullptr, nullptr));
    const kernel_handle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{job.get(), port.get()};
    const bool watched =
        job && port &&
        SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation,
                                &association, sizeof association);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, folder.c_str(), &startup, &started))
        return false;
    const kernel_handle process(started.hProcess);
    const kernel_handle thread(started.hThread);
    // Where jobs cannot be nested, only the program itself is waited for.
    const bool in_job = watched && AssignProcessToJobObject(job.get(), process.get());
    ResumeThread(thread.get());
    if (in_job)
        wait_for_empty_job(port.get());
    else
        WaitForSingleObject(process.get(), INFINITE);
    return true;
}

std::wstring quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

std::wstring silent_suffix(bool silent) {
    return silent ? L" " + utf8_to_wide(silent_option) : std::wstring();
}

bool is_silent_option(const wchar_t* word) {
    return utf8_to_wide(silent_option) == word;
}

kernel_handle open_launcher_process(const wchar_t* process_id, const wchar_t* launcher_path) {
    const DWORD id = static_cast<DWORD>(_wtoi(process_id));
    kernel_handle process(
        id == 0 ? nullptr
                : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (process && !runs_launcher(process.get(), launcher_path))
        process.reset();
    return process;
}

std::vector<std::wstring> names_in(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileW(with_long_path_prefix(folder + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.emplace_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool is_empty_or_missing(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(with_long_path_prefix(folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    bool empty = true;
    do
        empty = std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0;
    while (empty && FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}
