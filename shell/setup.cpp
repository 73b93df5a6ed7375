#include "setup.h"

#include "file_helpers.h"
#include "file_identity.h"
#include "installation.h"
#include "own_resource.h"
#include "removal.h"
#include "shortcuts.h"
#include "uninstall_entry.h"
#include "utf8.h"

namespace {

std::wstring chosen_folder(const setup_request& request) {
    return request.folder ? full_folder_path(*request.folder)
                          : expand_install_dir(request.settings.install_dir);
}

// Starts the installed launcher. A silent one runs to its end, with whatever a
// self-update hands over to, and counts only when it completed the installation.
bool start_installation(const std::wstring& folder, bool silent) {
    const std::wstring command = quoted(installed_launcher(folder));
    if (!silent)
        return start_in_folder(command, folder);
    return run_to_end_in_folder(command + L" " + silent_argument, folder) &&
           installation_complete(folder);
}

// Copies the launcher in and makes the shortcuts and the entry.
bool lay_down(const std::wstring& product, const std::wstring& folder,
              const launcher_config& settings) {
    return copy_into_place(own_executable_path(), installed_launcher(folder)) &&
           create_shortcuts(product, folder) &&
           write_uninstall_entry(product, folder, utf8_to_wide(settings.publisher));
}

// Takes back what this setup made of an installation that did not come about.
void take_back(const std::wstring& product, const std::wstring& folder) {
    remove_installed_files(folder);
    remove_launcher_and_traces(product, folder);
}

} // namespace

bool inside_installation(const setup_request& request) {
    const std::wstring own = own_folder();
    if (same_file(own, chosen_folder(request)) || has_installed_record(own))
        return true;
    const auto named = uninstall_entry_folder(own_product_name());
    return named && same_file(own, *named);
}

int run_setup(const setup_request& request) {
    const std::wstring product = own_product_name();
    const std::wstring folder = chosen_folder(request);
    const auto failed = [&] {
        if (!request.silent)
            MessageBoxW(
                nullptr,
                (L"Rakenduse " + product + L" paigaldamine kausta " + folder + L" ebaõnnestus.")
                    .c_str(),
                product.c_str(), MB_OK | MB_ICONERROR);
        return 1;
    };
    remove_removal_leftovers();
    if (folder.empty() || !create_directory_path(wide_to_utf8(folder) + "\\"))
        return failed();
    if (holds_installation(folder))
        return start_installation(folder, request.silent) ? 0 : failed();
    // A launcher there already is an earlier setup's, whose first installation has
    // not completed (it may be running): it is not this setup's to take back.
    const bool fresh = !file_size(wide_to_utf8(installed_launcher(folder)));
    if (lay_down(product, folder, request.settings) && start_installation(folder, request.silent))
        return 0;
    if (fresh)
        take_back(product, folder);
    return failed();
}
