#include "shortcuts.h"

#include "file_identity.h"
#include "installation.h"
#include "long_paths.h"
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

struct co_task_free {
    void operator()(wchar_t* text) const noexcept { CoTaskMemFree(text); }
};

std::optional<std::wstring> known_folder(const KNOWNFOLDERID& id) {
    wchar_t* path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path);
    const std::unique_ptr<wchar_t, co_task_free> owned(path);
    if (FAILED(result) || !path)
        return std::nullopt;
    return std::wstring(path);
}

// Where the product's shortcuts go; a folder the system cannot name is left out.
std::vector<std::wstring> shortcut_paths(const std::wstring& product) {
    std::vector<std::wstring> paths;
    for (const KNOWNFOLDERID* id : {&FOLDERID_Programs, &FOLDERID_Desktop})
        if (const auto folder = known_folder(*id))
            paths.push_back(*folder + L"\\" + product + L".lnk");
    return paths;
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

// The folder a shortcut starts its program in, when it reads as a shortcut.
std::optional<std::wstring> link_working_folder(const std::wstring& path) {
    const com_ptr<IShellLinkW> link = new_link();
    const com_ptr<IPersistFile> file = link ? link_file(link.get()) : com_ptr<IPersistFile>();
    std::array<wchar_t, MAX_PATH> folder{};
    if (!file || FAILED(file.get()->Load(path.c_str(), STGM_READ)) ||
        FAILED(link.get()->GetWorkingDirectory(folder.data(), static_cast<int>(folder.size()))))
        return std::nullopt;
    return std::wstring(folder.data());
}

} // namespace

bool create_shortcuts(const std::wstring& product, const std::wstring& folder) {
    const com_apartment apartment;
    const std::vector<std::wstring> paths = shortcut_paths(product);
    bool written = paths.size() == 2;
    for (const std::wstring& path : paths)
        written = write_link(path, product, folder) && written;
    return written;
}

bool remove_shortcuts(const std::wstring& product, const std::wstring& folder) {
    const com_apartment apartment;
    bool removed = true;
    for (const std::wstring& path : shortcut_paths(product)) {
        const auto starts_in = link_working_folder(path);
        if (starts_in && same_file(*starts_in, folder) && !DeleteFileW(long_path(path).c_str()))
            removed = false;
    }
    return removed;
}
