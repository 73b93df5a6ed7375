#include "removal.h"

#include "file_helpers.h"
#include "installation.h"
#include "own_resource.h"
#include "rollout.h"
#include "run_lock.h"
#include "shortcuts.h"
#include "uninstall_entry.h"
#include "utf8.h"
#include "win_handles.h"

#include <algorithm>
#include <cwchar>
#include <set>

namespace {

constexpr const wchar_t* copy_prefix = L"quillomark-removal-";

std::wstring temporary_folder() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    std::wstring folder(path, length);
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

void tell(bool silent, const std::wstring& text, UINT icon) {
    if (!silent)
        MessageBoxW(nullptr, text.c_str(), own_product_name().c_str(), MB_OK | icon);
}

void tell_held(bool silent, const std::wstring& name) {
    tell(silent,
         L"Faili ei saanud eemaldada, sest see on kasutusel: " + name +
             L". Sulge rakendus ja proovi uuesti.",
         MB_ICONWARNING);
}

void tell_busy(bool silent) {
    tell(silent, L"Rakendust uuendatakse praegu. Proovi hiljem uuesti.", MB_ICONWARNING);
}

// Removes a file, waiting out a hold by another program; a file that is not there
// counts as removed.
bool remove_file(const std::wstring& path) {
    held_file_pauses pauses;
    const DWORD error =
        retry_while_file_held("remove " + wide_to_utf8(path), pauses, [&]() -> DWORD {
            return DeleteFileW(with_long_path_prefix(path).c_str()) ? ERROR_SUCCESS
                                                                    : GetLastError();
        });
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool is_launcher_name(const std::wstring& name) {
    const std::wstring launcher = utf8_to_wide(installed_launcher_file_name);
    return CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), launcher.c_str(),
                                static_cast<int>(launcher.size()), TRUE) == CSTR_EQUAL;
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
bool start_finishing_copy(const std::wstring& folder, bool silent) {
    const std::wstring temporary = temporary_folder();
    const std::wstring copy =
        temporary + L"\\" + copy_prefix + std::to_wstring(GetCurrentProcessId()) + L".exe";
    if (!CopyFileW(with_long_path_prefix(own_executable_path()).c_str(),
                   with_long_path_prefix(copy).c_str(), FALSE))
        return false;
    const std::wstring command = quoted(copy) + L" remove " + quoted(installed_launcher(folder)) +
                                 L" " + std::to_wstring(GetCurrentProcessId()) +
                                 (silent ? L" " + std::wstring(silent_argument) : L"");
    return start_in_folder(command, temporary);
}

} // namespace

void remove_removal_leftovers() {
    const std::wstring temporary = temporary_folder();
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileW((temporary + L"\\" + copy_prefix + L"*.exe").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do
        DeleteFileW((temporary + L"\\" + found.cFileName).c_str());
    while (FindNextFileW(search, &found));
    FindClose(search);
}

std::optional<std::wstring> remove_installed_files(const std::wstring& folder) {
    std::vector<std::wstring> names;
    if (const auto record = installed_record(folder))
        for (const auto& file : record->files)
            names.push_back(utf8_to_wide(file->name));
    names.erase(std::remove_if(names.begin(), names.end(), is_launcher_name), names.end());
    // Then the record, and what the launcher itself makes in its folder.
    names.insert(names.end(),
                 {utf8_to_wide(installed_record_name), utf8_to_wide(log_file_name),
                  utf8_to_wide(identity_file_name)});
    for (const std::wstring& name : names)
        if (!remove_file(folder + L"\\" + name))
            return name;
    const std::wstring work_folder = folder + L"\\Temp";
    DeleteDirectory(wide_to_utf8(work_folder));
    if (GetFileAttributesW(with_long_path_prefix(work_folder).c_str()) != INVALID_FILE_ATTRIBUTES)
        return L"Temp";
    for (const std::wstring& subfolder : listed_subfolders(names))
        RemoveDirectoryW(with_long_path_prefix(folder + L"\\" + subfolder).c_str());
    return std::nullopt;
}

bool remove_launcher_and_traces(const std::wstring& product, const std::wstring& folder) {
    if (!remove_file(installed_launcher(folder)))
        return false;
    const bool shortcuts_removed = remove_shortcuts(product, folder);
    const bool entry_removed = shortcuts_removed && remove_uninstall_entry(product, folder);
    if (count_files(folder) == 0)
        RemoveDirectoryW(with_long_path_prefix(folder).c_str());
    return entry_removed;
}

int run_removal(bool silent) {
    const std::wstring folder = own_folder();
    const std::wstring product = own_product_name();
    if (!silent &&
        MessageBoxW(nullptr,
                    (L"Kas eemaldada rakendus " + product + L" ja kõik selle failid?").c_str(),
                    product.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
        return 1;
    const run_lock lock(folder);
    if (!lock.first()) {
        tell_busy(silent);
        return 1;
    }
    remove_removal_leftovers();
    if (const auto held = remove_installed_files(folder)) {
        tell_held(silent, *held);
        return 1;
    }
    if (!start_finishing_copy(folder, silent)) {
        tell_held(silent, utf8_to_wide(installed_launcher_file_name));
        return 1;
    }
    return 0;
}

int finish_removal(std::span<wchar_t*> arguments) {
    const std::wstring launcher = arguments[2];
    const bool silent = arguments.size() > 4 && std::wcscmp(arguments[4], silent_argument) == 0;
    if (const kernel_handle first = open_launcher_process(arguments[3], launcher.c_str()))
        WaitForSingleObject(first.get(), INFINITE);
    const std::wstring folder = folder_of(launcher);
    const std::wstring product = own_product_name();
    const run_lock lock(folder);
    if (!lock.first()) {
        tell_busy(silent);
        return 1;
    }
    if (!remove_launcher_and_traces(product, folder)) {
        tell_held(silent, utf8_to_wide(installed_launcher_file_name));
        return 1;
    }
    std::wstring text = L"Rakendus " + product + L" on eemaldatud.";
    if (const unsigned left = count_files(folder))
        text += L" Kausta " + folder + L" jäid failid, mida paigaldus ei loonud: " +
                std::to_wstring(left) + L".";
    tell(silent, text, MB_ICONINFORMATION);
    return 0;
}
