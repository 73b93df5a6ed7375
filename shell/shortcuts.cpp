#include "shortcuts.h"

#include "file_identity.h"
#include "installation.h"
#include "long_paths.h"
#include "user_folders.h"
#include "win_handles.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace {

// COM for the calling thread, for as long as the object lives.
class com_apartment {
  public:
    com_apartment() : initialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~com_apartment() {
        if (initialized)
            CoUninitialize();
    }
    com_apartment(const com_apartment&) = delete;
    com_apartment& operator=(const com_apartment&) = delete;

  private:
    bool initialized;
};

// The folders the shortcuts go to; a folder the system cannot name is left out.
std::vector<std::wstring> shortcut_folders() {
    std::vector<std::wstring> folders;
    for (const KNOWNFOLDERID* id : {&FOLDERID_Programs, &FOLDERID_Desktop})
        if (const auto folder = known_folder(*id))
            folders.push_back(*folder);
    return folders;
}

com_ptr<IShellLinkW> new_link() {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return {};
    return com_ptr<IShellLinkW>(link);
}

com_ptr<IPersistFile> link_file(IShellLinkW* link) {
    IPersistFile* file = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))))
        return {};
    return com_ptr<IPersistFile>(file);
}

bool write_link(const std::wstring& path, const std::wstring& product, const std::wstring& folder) {
    const com_ptr<IShellLinkW> link = new_link();
    if (!link)
        return false;
    const std::wstring launcher = installed_launcher(folder);
    const com_ptr<IPersistFile> file = link_file(link.get());
    return file && SUCCEEDED(link.get()->SetPath(launcher.c_str())) &&
           SUCCEEDED(link.get()->SetWorkingDirectory(folder.c_str())) &&
           SUCCEEDED(link.get()->SetIconLocation(launcher.c_str(), 0)) &&
           SUCCEEDED(link.get()->SetDescription(product.c_str())) &&
           SUCCEEDED(file.get()->Save(path.c_str(), TRUE));
}

// The program a shortcut starts, when it reads as a shortcut: as the shell resolves
// it from the link's item list, since Wine keeps the path beside it only in the
// ANSI code page.
std::optional<std::wstring> link_target(const std::wstring& path) {
    const com_ptr<IShellLinkW> link = new_link();
    const com_ptr<IPersistFile> file = link ? link_file(link.get()) : com_ptr<IPersistFile>();
    if (!file || FAILED(file.get()->Load(path.c_str(), STGM_READ)))
        return std::nullopt;
    std::array<wchar_t, MAX_PATH> target{};
    PIDLIST_ABSOLUTE items = nullptr;
    const bool resolved = SUCCEEDED(link.get()->GetIDList(&items)) && items &&
                          SHGetPathFromIDListW(items, target.data());
    CoTaskMemFree(items);
    if (!resolved && FAILED(link.get()->GetPath(target.data(), static_cast<int>(target.size()),
                                                nullptr, SLGP_RAWPATH)))
        return std::nullopt;
    return std::wstring(target.data());
}

// By identity while the launcher is there, and by its path when a removal that
// stopped half-way has taken it already.
bool leads_to(const std::wstring& path, const std::wstring& launcher) {
    const auto target = link_target(path);
    return target && (same_file(*target, launcher) ||
                      path_in_upper_case(full_path(*target)) == path_in_upper_case(launcher));
}

// Writes the shortcut in one folder under the first name that is free or already
// leads to this installation.
bool create_shortcut(const std::wstring& shortcut_folder, const std::wstring& product,
                     const std::wstring& folder, std::vector<std::wstring>& made) {
    constexpr int most_installations = 100;
    const std::wstring launcher = installed_launcher(folder);
    for (int number = 1; number <= most_installations; ++number) {
        const std::wstring path =
            shortcut_folder + L"\\" + product +
            (number == 1 ? std::wstring() : L" (" + std::to_wstring(number) + L")") + L".lnk";
        const bool taken = path_exists(path);
        if (taken && !leads_to(path, launcher))
            continue;
        if (!write_link(path, product, folder))
            return false;
        if (!taken)
            made.push_back(path);
        return true;
    }
    return false;
}

} // namespace

bool create_shortcuts(const std::wstring& product, const std::wstring& folder,
                      std::vector<std::wstring>& made) {
    const com_apartment apartment;
    const std::vector<std::wstring> folders = shortcut_folders();
    bool written = folders.size() == 2;
    for (const std::wstring& shortcut_folder : folders)
        written = written && create_shortcut(shortcut_folder, product, folder, made);
    return written;
}

std::vector<std::wstring> installation_shortcuts(const std::wstring& launcher) {
    const com_apartment apartment;
    std::vector<std::wstring> found;
    for (const std::wstring& shortcut_folder : shortcut_folders())
        for (const std::wstring& name : names_in(shortcut_folder, L"*.lnk"))
            if (leads_to(shortcut_folder + L"\\" + name, launcher))
                found.push_back(shortcut_folder + L"\\" + name);
    return found;
}
