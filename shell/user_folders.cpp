#include "user_folders.h"

#include "file_identity.h"
#include "launcher_config.h"
#include "utf8.h"

#include <objbase.h>
#include <shlobj.h>

#include <array>
#include <memory>
#include <vector>

namespace {

struct co_task_free {
    void operator()(wchar_t* text) const noexcept { CoTaskMemFree(text); }
};

constexpr std::array shared_known_folders = {
    &FOLDERID_Profile,          &FOLDERID_LocalAppData, &FOLDERID_RoamingAppData,
    &FOLDERID_LocalAppDataLow,  &FOLDERID_Desktop,      &FOLDERID_Documents,
    &FOLDERID_Downloads,        &FOLDERID_Music,        &FOLDERID_Pictures,
    &FOLDERID_Videos,           &FOLDERID_Favorites,    &FOLDERID_Links,
    &FOLDERID_StartMenu,        &FOLDERID_Programs,     &FOLDERID_Startup,
    &FOLDERID_UserProgramFiles, &FOLDERID_Windows,      &FOLDERID_ProgramFiles,
    &FOLDERID_ProgramData};

// The folders below which the names of shared folders (is_shared_user_folder) hold,
// wherever the system puts the real ones.
constexpr std::array user_roots = {&FOLDERID_Profile, &FOLDERID_LocalAppData,
                                   &FOLDERID_RoamingAppData};

std::vector<std::wstring> shared_folders() {
    std::vector<std::wstring> folders{temporary_folder()};
    for (const KNOWNFOLDERID* id : shared_known_folders)
        if (const auto folder = known_folder(*id, KF_FLAG_DONT_VERIFY))
            folders.push_back(*folder);
    return folders;
}

// True when `inner` is `outer` or lies below it.
bool within(const std::wstring& inner, const std::wstring& outer) {
    return inner == outer || (inner.size() > outer.size() && inner.starts_with(outer) &&
                              (outer.ends_with(L'\\') || inner[outer.size()] == L'\\'));
}

// The folder is one of the known shared folders, or holds one.
std::optional<std::wstring> known_folder_reason(const std::wstring& folder,
                                                const std::wstring& key) {
    for (const std::wstring& shared : shared_folders()) {
        const std::wstring shared_key = path_in_upper_case(full_path(shared));
        if (shared_key.empty())
            continue;
        if (key == shared_key || same_file(folder, shared))
            return L"it is the user's shared folder " + shared;
        if (within(shared_key, key))
            return L"it holds the user's shared folder " + shared;
    }
    return std::nullopt;
}

// The folder has the name of a shared one below the profile or an AppData folder.
std::optional<std::wstring> shared_name_reason(const std::wstring& key) {
    for (const KNOWNFOLDERID* root : user_roots) {
        const auto root_folder = known_folder(*root, KF_FLAG_DONT_VERIFY);
        const std::wstring root_key =
            root_folder ? path_in_upper_case(full_path(*root_folder)) : std::wstring();
        if (!root_key.empty() && within(key, root_key) &&
            is_shared_user_folder(wide_to_utf8(key.substr(root_key.size()))))
            return L"it is a folder that programs share below " + *root_folder;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::wstring> known_folder(const KNOWNFOLDERID& id, DWORD flags) {
    wchar_t* path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(id, flags, nullptr, &path);
    const std::unique_ptr<wchar_t, co_task_free> owned(path);
    if (FAILED(result) || !path)
        return std::nullopt;
    return std::wstring(path);
}

std::wstring temporary_folder() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    std::wstring folder(path, length);
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

std::optional<std::wstring> shared_folder_reason(const std::wstring& folder) {
    const std::wstring key = path_in_upper_case(full_path(folder));
    if (key.size() <= 3)
        return L"it is the root of a drive";
    if (auto reason = known_folder_reason(folder, key))
        return reason;
    return shared_name_reason(key);
}
