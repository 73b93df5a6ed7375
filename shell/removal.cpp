#include "removal.h"

#include "file_helpers.h"
#include "file_identity.h"
#include "installation.h"
#include "own_resource.h"
#include "prepare_command.h"
#include "run_lock.h"
#include "shortcuts.h"
#include "uninstall_entry.h"
#include "user_folders.h"
#include "utf8.h"
#include "wide_texts.h"
#include "win_handles.h"

#include <tlhelp32.h>

#include <algorithm>
#include <set>

namespace {

constexpr const wchar_t* copy_prefix = L"quillomark-removal-";

void tell(bool silent, const std::wstring& text, UINT icon) {
    if (!silent)
        MessageBoxW(nullptr, text.c_str(), own_product_name().c_str(), MB_OK | icon);
}

void tell_left(bool silent, const left_in_place& left) {
    tell(silent,
         wide_ui_text(left.entry ? text_id::removal_entry_left : text_id::removal_file_in_use,
                      {left.name}),
         MB_ICONWARNING);
}

void tell_busy(bool silent) {
    tell(silent, wide_ui_text(text_id::removal_busy), MB_ICONWARNING);
}

// Every folder between the listed files and the installation folder, deepest first.
std::vector<std::wstring> listed_subfolders(const std::vector<std::wstring>& names) {
    std::set<std::wstring> folders;
    for (std::wstring name : names)
        for (std::size_t end; (end = name.find_last_of(L"\\/")) != std::wstring::npos;)
            folders.insert(name = name.substr(0, end));
    std::vector<std::wstring> deepest_first(folders.begin(), folders.end());
    std::sort(deepest_first.begin(), deepest_first.end(),
              [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    return deepest_first;
}

// Files below the folder, links not followed.
unsigned count_files(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(with_long_path_prefix(folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    unsigned count = 0;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const bool subfolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                               !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        count += subfolder ? count_files(folder + L"\\" + name) : 1;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

// The copy that finishes the removal, started in the temporary folder so that it
// holds nothing of the installation.
bool start_finishing_copy(const std::wstring& launcher, bool silent) {
    const std::wstring temporary = temporary_folder();
    const std::wstring copy =
        temporary + L"\\" + copy_prefix + std::to_wstring(GetCurrentProcessId()) + L".exe";
    if (!CopyFileW(with_long_path_prefix(own_executable_path()).c_str(),
                   with_long_path_prefix(copy).c_str(), FALSE))
        return false;
    const std::wstring command = quoted(copy) + L" remove " + quoted(launcher) + L" " +
                                 std::to_wstring(GetCurrentProcessId()) + silent_suffix(silent);
    return start_in_folder(command, temporary);
}

// The identities of the programs that processes run from files named like a
// removal's copy.
std::vector<file_identity> running_copies() {
    std::vector<file_identity> running;
    const kernel_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE ||
        !Process32FirstW(snapshot.get(), &process))
        return running;
    do {
        if (std::wstring(process.szExeFile).find(copy_prefix) != 0)
            continue;
        const kernel_handle opened(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID));
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        if (!opened || !QueryFullProcessImageNameW(opened.get(), 0, image.data(), &length))
            continue;
        image.resize(length);
        if (const auto identity = identity_of(image))
            running.push_back(*identity);
    } while (Process32NextW(snapshot.get(), &process));
    return running;
}

std::optional<left_in_place> remove_shortcuts(const std::wstring& launcher) {
    for (const std::wstring& shortcut : installation_shortcuts(launcher))
        if (!delete_file_utf8(wide_to_utf8(shortcut)))
            return left_in_place{shortcut, false};
    return std::nullopt;
}

std::optional<left_in_place> remove_entry(const std::wstring& folder) {
    const auto key = uninstall_entry_key(folder);
    if (key && !remove_uninstall_key(*key))
        return left_in_place{uninstall_key_path(*key), true};
    return std::nullopt;
}

} // namespace

void remove_removal_leftovers() {
    const std::wstring temporary = temporary_folder();
    const std::vector<std::wstring> copies =
        names_in(temporary, copy_prefix + std::wstring(L"*.exe"));
    if (copies.empty())
        return;
    const std::vector<file_identity> running = running_copies();
    for (const std::wstring& name : copies) {
        const std::wstring copy = temporary + L"\\" + name;
        const auto identity = identity_of(copy);
        if (identity && std::find(running.begin(), running.end(), *identity) == running.end())
            DeleteFileW(with_long_path_prefix(copy).c_str());
    }
}

std::optional<std::wstring> remove_installed_files(const std::wstring& folder,
                                                   const std::wstring& launcher) {
    std::vector<std::wstring> names;
    if (const auto record = installed_record(folder))
        for (const auto& file : record->files)
            if (!same_file(folder + L"\\" + utf8_to_wide(file->name), launcher))
                names.push_back(utf8_to_wide(file->name));
    // Then the record, and what the launcher itself makes in its folder.
    for (const char* own : {installed_record_name, log_file_name, prepare_log_file_name,
                            identity_file_name, refused_version_file_name, start_app_file_name})
        names.push_back(utf8_to_wide(own));
    for (const std::wstring& name : names)
        if (!delete_file_utf8(wide_to_utf8(folder + L"\\" + name)))
            return name;
    for (const char* own_folder : {work_directory_name, kept_folder_name}) {
        const std::wstring path = path_in(folder, own_folder);
        DeleteDirectory(wide_to_utf8(path));
        if (path_exists(path))
            return utf8_to_wide(own_folder);
    }
    for (const std::wstring& subfolder : listed_subfolders(names))
        RemoveDirectoryW(with_long_path_prefix(folder + L"\\" + subfolder).c_str());
    return std::nullopt;
}

std::optional<left_in_place> remove_launcher_and_traces(const std::wstring& launcher) {
    const std::wstring folder = folder_of(launcher);
    if (auto left = remove_shortcuts(launcher))
        return left;
    if (auto left = remove_entry(folder))
        return left;
    if (!delete_file_utf8(wide_to_utf8(launcher)))
        return left_in_place{launcher.substr(folder.size() + 1), false};
    if (count_files(folder) == 0)
        RemoveDirectoryW(with_long_path_prefix(folder).c_str());
    return std::nullopt;
}

int run_removal(bool silent) {
    const std::wstring launcher = own_executable_path();
    const std::wstring folder = folder_of(launcher);
    const std::wstring product = own_product_name();
    if (!silent && MessageBoxW(nullptr, wide_ui_text(text_id::removal_question, {product}).c_str(),
                               product.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
        return 1;
    // A prepare gives the installation up to a removal as to a start.
    run_lock lock(folder);
    if (!lock.first() && !stop_prepare_and_take(lock, folder)) {
        tell_busy(silent);
        return 1;
    }
    remove_removal_leftovers();
    if (const auto held = remove_installed_files(folder, launcher)) {
        tell_left(silent, {*held, false});
        return 1;
    }
    if (!start_finishing_copy(launcher, silent)) {
        tell_left(silent, {launcher.substr(folder.size() + 1), false});
        return 1;
    }
    return 0;
}

int finish_removal(std::span<wchar_t*> arguments) {
    const std::wstring launcher = arguments[2];
    const bool silent = arguments.size() > 4 && is_silent_option(arguments[4]);
    if (const kernel_handle first = open_launcher_process(arguments[3], launcher.c_str()))
        WaitForSingleObject(first.get(), INFINITE);
    const std::wstring folder = folder_of(launcher);
    // A prepare gives the installation up to a removal as to a start.
    run_lock lock(folder);
    if (!lock.first() && !stop_prepare_and_take(lock, folder)) {
        tell_busy(silent);
        return 1;
    }
    if (const auto left = remove_launcher_and_traces(launcher)) {
        tell_left(silent, *left);
        return 1;
    }
    const unsigned left = count_files(folder);
    tell(silent,
         left ? wide_ui_text(text_id::removal_done_files_left,
                             {own_product_name(), folder, std::to_wstring(left)})
              : wide_ui_text(text_id::removal_done, {own_product_name()}),
         MB_ICONINFORMATION);
    return 0;
}
