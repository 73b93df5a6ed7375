#include "kept_version.h"

#include "file_helpers.h"
#include "installation_layout.h"
#include "logfile.h"
#include "utf8.h"
#include "version_info.h"
#include "win_handles.h"

#include <utility>

namespace {

constexpr std::size_t largest_state_file = 64 * 1024;
constexpr std::size_t largest_names_file = 64 * 1024 * 1024;
constexpr std::size_t largest_record = 256 * 1024 * 1024;
constexpr std::string_view kept_word = "kept";
constexpr std::string_view added_word = "added";

// Appends the line and flushes it to the disk before the caller goes on.
bool append_flushed(const std::string& path, const std::string& line) {
    const file_handle file(CreateFileW(system_path(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size() && FlushFileBuffers(file.get());
}

bool exists(const std::string& path) {
    return GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

kept_version::kept_version(std::string install_dir, held_file_wait wait)
    : install_dir(std::move(install_dir)), folder(this->install_dir + "\\" + kept_folder_name),
      wait(std::move(wait)) {}

std::string kept_version::in_folder(const std::string& name) const {
    return folder + "\\" + name;
}

std::string kept_version::kept_path(const std::string& name) const {
    return in_folder(std::string(kept_files_folder_name) + "\\" + name);
}

std::optional<trial_state> kept_version::trial() const {
    const auto text = read_file_bytes(in_folder(trial_file_name), largest_state_file);
    return text ? parse_trial_state(*text) : std::nullopt;
}

std::int32_t kept_version::installed_version() const {
    const auto bytes = read_file_bytes(install_dir + "\\" + installed_record_name, largest_record);
    if (!bytes)
        return 0;
    version_info installed(version_info::standard_magic, version_info::standard_format);
    byte_reader reader(static_cast<std::int32_t>(bytes->size()), bytes->data());
    return installed.read(reader) ? installed.version : 0;
}

std::optional<trial_state> kept_version::trial_of_installed() const {
    auto found = trial();
    if (!found || found->state != trial_state::phase::installing ||
        found->version != installed_version())
        return std::nullopt;
    return found;
}

void kept_version::confirm_healthy() {
    auto found = trial_of_installed();
    if (!found)
        return;
    found->state = trial_state::phase::healthy;
    if (!store_trial(*found))
        return;
    SetPriorityClass(GetCurrentProcess(), PROCESS_MODE_BACKGROUND_BEGIN);
    remove();
}

bool kept_version::store_trial(const trial_state& trial) const {
    return store_file_bytes(in_folder(std::string(trial_file_name) + ".part"),
                            in_folder(trial_file_name), format_trial_state(trial), wait);
}

bool kept_version::begin(const trial_start& start) {
    if (start.fresh) {
        DeleteDirectory(folder, held_file_pauses(), wait);
        const std::string installed = install_dir + "\\" + installed_record_name;
        const auto record = read_file_bytes(installed, largest_record);
        if (!record || !create_directory_path(folder + "\\") ||
            !store_file_bytes(in_folder(std::string(installed_record_name) + ".part"),
                              in_folder(installed_record_name), *record, wait))
            return false;
    }
    read_names();
    return store_trial(start.trial);
}

void kept_version::read_names() {
    const std::lock_guard guard(names_lock);
    kept_names.clear();
    added_names.clear();
    const std::string text =
        read_file_bytes(in_folder(kept_names_file_name), largest_names_file).value_or("");
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string_view line(text.data() + start, end - start);
        const std::size_t blank = line.find(' ');
        const std::string_view word = line.substr(0, blank);
        const std::string name(line.substr(blank + 1));
        if (blank != std::string_view::npos && word == kept_word)
            kept_names.insert(name);
        else if (blank != std::string_view::npos && word == added_word)
            added_names.insert(name);
    }
}

bool kept_version::note(std::string_view word, const std::string& name) {
    return append_flushed(in_folder(kept_names_file_name), std::string(word) + " " + name + "\n");
}

DWORD kept_version::keep(const std::string& name, const std::string& target,
                         held_file_pauses& pauses) {
    const std::lock_guard guard(names_lock);
    if (kept_names.contains(name) || added_names.contains(name))
        return ERROR_SUCCESS;
    const bool installed = exists(target);
    if (!note(installed ? kept_word : added_word, name))
        return ERROR_WRITE_FAULT;
    (installed ? kept_names : added_names).insert(name);
    if (!installed)
        return ERROR_SUCCESS;
    const std::string kept = kept_path(name);
    if (!create_directory_path(kept))
        return ERROR_PATH_NOT_FOUND;
    return move_into_place(target, kept, pauses, wait);
}

bool kept_version::put_back(held_file_pauses& pauses) {
    read_names();
    bool whole = true;
    for (const std::string& name : kept_names) {
        const std::string kept = kept_path(name);
        if (!exists(kept))
            continue; // put back by an earlier try, or never moved aside
        const std::string target = install_dir + "\\" + name;
        if (const DWORD error = move_into_place(kept, target, pauses, wait)) {
            log_error("Could not put back " + target + " (system error " + std::to_string(error) +
                      ")");
            whole = false;
        }
    }
    for (const std::string& name : added_names)
        whole = delete_file_utf8(install_dir + "\\" + name, wait) && whole;
    const std::string record = in_folder(installed_record_name);
    if (whole && exists(record) &&
        move_into_place(record, install_dir + "\\" + installed_record_name, pauses, wait) != 0)
        whole = false;
    return whole;
}

void kept_version::remove() const {
    // The state goes last: a folder without it is only what a later update empties.
    DeleteDirectory(in_folder(kept_files_folder_name), held_file_pauses(), wait);
    for (const char* name : {kept_names_file_name, installed_record_name})
        delete_file_utf8(in_folder(name), wait);
    DeleteDirectory(folder, held_file_pauses(), wait);
}

std::optional<std::string> kept_version::start_app() const {
    auto text = read_file_bytes(install_dir + "\\" + start_app_file_name, largest_state_file);
    if (!text || !text->ends_with('\n') || text->size() < 2)
        return std::nullopt;
    text->pop_back();
    return text;
}

void kept_version::note_start_app(const std::string& name) const {
    if (start_app() != name)
        store_file_bytes(install_dir + "\\" + start_app_file_name + ".part",
                         install_dir + "\\" + start_app_file_name, name + "\n", wait);
}

std::optional<std::int32_t> kept_version::refused_version() const {
    const auto text = read_file_bytes(install_dir + "\\" + refused_version_file_name, 64);
    return text ? parse_refused_version(*text) : std::nullopt;
}

bool kept_version::store_refused_version(std::int32_t version) const {
    return create_directory_path(folder + "\\") &&
           store_file_bytes(in_folder(std::string(refused_version_file_name) + ".part"),
                            install_dir + "\\" + refused_version_file_name,
                            format_refused_version(version), wait);
}
