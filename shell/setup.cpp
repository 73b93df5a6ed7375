#include "setup.h"

#include "file_helpers.h"
#include "file_identity.h"
#include "installation.h"
#include "logfile.h"
#include "md5.h"
#include "own_resource.h"
#include "removal.h"
#include "shortcuts.h"
#include "uninstall_entry.h"
#include "user_folders.h"
#include "utf8.h"
#include "wide_texts.h"

namespace {

constexpr const wchar_t* setup_log_name = L"quillomark-setup.log";

// One setup of a product at a time in the session: a second one (a double click)
// waits for the first and then finds its installation, so neither takes back the
// other's work.
class setup_lock {
  public:
    explicit setup_lock(const std::wstring& product)
        : mutex(CreateMutexW(nullptr, FALSE,
                             (L"Local\\Quillomark.setup." +
                              utf8_to_wide(md5_hex(wide_to_utf8(path_in_upper_case(product)))))
                                 .c_str())) {
        if (mutex)
            WaitForSingleObject(mutex.get(), INFINITE);
    }
    ~setup_lock() {
        if (mutex)
            ReleaseMutex(mutex.get());
    }
    setup_lock(const setup_lock&) = delete;
    setup_lock& operator=(const setup_lock&) = delete;

  private:
    kernel_handle mutex;
};

// What this setup made, and so what it takes back when the installation does not
// come about.
struct setup_trail {
    bool folder_made = false;
    // Nothing was in the folder: what is in it now, this setup's run put there.
    bool folder_was_empty = false;
    bool launcher_made = false;
    std::optional<std::wstring> entry_made;
    std::vector<std::wstring> shortcuts_made;
};

std::wstring chosen_folder(const setup_request& request) {
    return request.folder ? full_path(*request.folder)
                          : expand_install_dir(request.settings.install_dir);
}

// Starts the installed launcher. A silent one runs to its end, with whatever a
// self-update hands over to, and counts only when it completed the installation.
bool start_installation(const std::wstring& folder, bool silent) {
    const std::wstring command = quoted(installed_launcher(folder));
    if (!silent)
        return start_in_folder(command, folder);
    return run_to_end_in_folder(command + silent_suffix(true), folder) &&
           installation_complete(folder);
}

// Writes the entry, copies the launcher in and makes the shortcuts. An entry that
// names the folder already is this installation's and is written again.
bool lay_down(const std::wstring& product, const std::wstring& folder,
              const launcher_config& settings, const std::optional<std::wstring>& entry,
              setup_trail& trail) {
    const std::wstring key = entry.value_or(uninstall_key_name(product, folder));
    if (!entry)
        trail.entry_made = key;
    if (!write_uninstall_entry(key, product, folder, utf8_to_wide(settings.publisher)))
        return false;
    trail.launcher_made = !file_size(wide_to_utf8(installed_launcher(folder)));
    return copy_into_place(own_executable_path(), installed_launcher(folder)) &&
           create_shortcuts(product, folder, trail.shortcuts_made);
}

void take_back(const std::wstring& folder, const setup_trail& trail) {
    if (trail.folder_was_empty)
        remove_installed_files(folder, installed_launcher(folder));
    if (trail.launcher_made)
        delete_file_utf8(wide_to_utf8(installed_launcher(folder)));
    for (const std::wstring& shortcut : trail.shortcuts_made)
        delete_file_utf8(wide_to_utf8(shortcut));
    if (trail.entry_made)
        remove_uninstall_key(*trail.entry_made);
    if (trail.folder_made)
        RemoveDirectoryW(with_long_path_prefix(folder).c_str());
}

// Why the setup may not install into the folder: it is not the installation's own,
// or it holds something else than an installation of this product.
std::optional<std::wstring> refusal(const std::wstring& product, const std::wstring& folder,
                                    const std::optional<std::wstring>& entry) {
    if (folder.empty())
        return L"the installation folder is no usable path";
    if (const auto reason = shared_folder_reason(folder))
        return reason;
    if (!entry)
        return is_empty_or_missing(folder)
                   ? std::nullopt
                   : std::optional<std::wstring>(L"it holds files of no installation of " +
                                                 product);
    const auto installed = uninstall_entry_product(*entry).value_or(L"");
    if (installed != product)
        return L"it holds the installation of " + installed;
    return std::nullopt;
}

} // namespace

bool inside_installation(const setup_request& request) {
    const std::wstring own = own_folder();
    return same_file(own, chosen_folder(request)) || has_installed_record(own) ||
           uninstall_entry_key(own).has_value();
}

int run_setup(const setup_request& request) {
    const std::wstring product = own_product_name();
    const std::wstring folder = chosen_folder(request);
    log_open(wide_to_utf8(temporary_folder() + L"\\" + setup_log_name));
    const auto failed = [&](const std::wstring& reason) {
        log_error(
            wide_to_utf8(L"Setup of " + product + L" into " + folder + L" failed: " + reason));
        if (!request.silent)
            MessageBoxW(nullptr, wide_ui_text(text_id::setup_failed, {product, folder}).c_str(),
                        product.c_str(), MB_OK | MB_ICONERROR);
        return 1;
    };
    remove_removal_leftovers();
    const setup_lock lock(product);
    const auto entry = folder.empty() ? std::nullopt : uninstall_entry_key(folder);
    if (const auto reason = refusal(product, folder, entry))
        return failed(*reason);
    if (entry && holds_launcher(folder)) {
        log_info(wide_to_utf8(L"Setup of " + product + L" finds its installation in " + folder));
        return start_installation(folder, request.silent)
                   ? 0
                   : failed(L"the installation it holds did not complete");
    }
    setup_trail trail;
    trail.folder_made = !path_exists(folder);
    trail.folder_was_empty = !entry;
    if (!create_directory_path(wide_to_utf8(folder) + "\\"))
        return failed(L"it could not be created");
    log_info(wide_to_utf8(L"Setup of " + product + L" into " + folder));
    if (lay_down(product, folder, request.settings, entry, trail) &&
        start_installation(folder, request.silent))
        return 0;
    take_back(folder, trail);
    return failed(L"the installation did not come about; what this setup made is taken back");
}
