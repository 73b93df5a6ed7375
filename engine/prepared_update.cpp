// CUpdater::prepare_release, the background prepare of the next update, and the
// staged files that a run takes from it.

#include "update_engine.h"

#include "file_helpers.h"
#include "installation_layout.h"
#include "logfile.h"
#include "lzma_exports.h"
#include "name_rules.h"
#include "platform.h"
#include "process_start.h"
#include "utf8.h"

#include <algorithm>
#include <memory>
#include <set>

namespace {

// A record larger than this is no record the publisher made.
constexpr std::size_t largest_marker_bytes = 256 * 1024 * 1024;

// Reading at most a number of KiB per second: before each read the transfer says
// how far its request got, and the cap answers how long to wait until the bytes
// read so far are due. Each request (a size report) starts the count again.
class read_rate_cap {
  public:
    explicit read_rate_cap(std::uint32_t kib_per_second)
        : bytes_per_second(std::int64_t{kib_per_second} * 1024) {}

    void start_request() { started = false; }

    std::chrono::milliseconds wait_at(std::int64_t offset) {
        const auto now = std::chrono::steady_clock::now();
        if (!started) {
            started = true;
            request_start = now;
            first_offset = offset;
        }
        const auto due = request_start + std::chrono::milliseconds((offset - first_offset) * 1000 /
                                                                   bytes_per_second);
        return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(due - now),
                        std::chrono::milliseconds::zero());
    }

  private:
    std::int64_t bytes_per_second;
    bool started = false;
    std::chrono::steady_clock::time_point request_start;
    std::int64_t first_offset = 0;
};

// Every file below `folder` whose name relative to `base` is not kept is removed,
// and every folder that is left empty; links are removed, never followed.
void remove_unkept_files(const native_path& base, const native_path& folder,
                         const std::set<std::string>& kept) {
    list_directory(folder, [&](const native_path& path) {
        std::error_code error;
        held_file_pauses pauses;
        if (!is_link(path) && is_directory_at(path, error)) {
            remove_unkept_files(base, path, kept);
            RemoveDirectoryW(path.c_str());
        } else if (!kept.contains(file_alias_key(wide_to_utf8(path.substr(base.size() + 1))))) {
            remove_entry(path, pauses, sleep_through);
        }
    });
}

} // namespace

// A staged file is taken only at the record's size and digests: one changed, cut
// short or left by another version since is removed, and its file fetched again.
bool CUpdater::staged_file_matches(const std::string& path, const file_info& entry) const {
    const std::optional<std::int64_t> size = file_size(path);
    if (!size)
        return false;
    if (*size == entry.size && has_digests(path, entry, required_strong_digest(entry, false)))
        return true;
    log_info("Staged file does not match its record, fetched again: " + path);
    delete_file_utf8(path);
    return false;
}

std::string CUpdater::prepared_path(const std::string& name) const {
    return temp_dir + "\\" + prepared_folder_name + "\\" + name;
}

bool CUpdater::takes_prepared_file(const file_info& entry, const std::string& target,
                                   held_file_pauses& pauses) {
    return staged_file_matches(prepared_path(entry.name), entry) &&
           move_prepared_file(entry, target, pauses);
}

bool CUpdater::move_prepared_file(const file_info& entry, const std::string& target,
                                  held_file_pauses& pauses) {
    const std::string staged = prepared_path(entry.name);
    if (const DWORD error = move_over_installed_file(entry.name, staged, target, pauses);
        error != ERROR_SUCCESS) {
        log_error("Prepared file not moved: " + staged + "->" + target + " (" +
                  std::to_string(error) + ")");
        return false;
    }
    log_info("Prepared: " + target);
    return true;
}

// A staged file is checked already: its job only moves it, in the records' order, so
// that it stays where it is when a file before it fails. When it cannot be moved,
// the whole file is downloaded instead, in order.
finishing_line::job CUpdater::prepared_file_job(file_info& entry, const entry_paths& paths,
                                                held_file_pauses pauses) {
    return finishing_job(
        entry,
        [this, &entry, paths, pauses]() -> finishing_line::finish_step {
            return [this, &entry, paths, pauses]() mutable {
                if (move_prepared_file(entry, paths.local, pauses))
                    return mark_file_done(&entry);
                download_in_order(entry, paths, pauses);
            };
        },
        0, 0);
}

bool CUpdater::prepared_release_present() {
    const std::string marker = temp_dir + "\\" + prepared_marker_name;
    const std::optional<std::string> bytes = read_file_bytes(marker, largest_marker_bytes);
    if (!bytes || *bytes != remote_record.bytes)
        return false;
    return std::all_of(remote_info.files.begin(), remote_info.files.end(), [&](const auto& record) {
        const std::string installed =
            install_dir + "\\" + (is_launcher_record(*record) ? launcher_name : record->name);
        const std::int64_t size = record->size;
        return file_size(prepared_path(record->name)) == size || file_size(installed) == size;
    });
}

prepare_outcome CUpdater::prepare_release(const std::string& url,
                                          const std::wstring& executable_path,
                                          std::uint32_t rate_cap_kib) {
    set_paths(url, executable_path);
    read_only = true;
    master_record master;
    stdio_stream local_stream;
    if (read_release(control_transfer, master, local_stream))
        return prepare_outcome::failed;
    close_file(local_stream);
    const std::string version = std::to_string(remote_info.version);
    if (keeps_installed_version(master, local_info.version == remote_info.version)) {
        log_info("Prepare: nothing to prepare, version " + std::to_string(local_info.version) +
                 " stays");
        return prepare_outcome::nothing_to_prepare;
    }
    if (prepared_release_present()) {
        log_info("Prepare: version " + version + " is prepared already");
        return prepare_outcome::prepared;
    }
    remove_prepared_marker();
    // The transfer keeps its callbacks after the prepare: they own the cap.
    if (rate_cap_kib > 0) {
        const auto cap = std::make_shared<read_rate_cap>(rate_cap_kib);
        set_callbacks(
            control_transfer, [cap](std::int64_t) { cap->start_request(); },
            [this, cap](std::int64_t offset) { sleep_unless_aborted(cap->wait_at(offset)); },
            [](const char*) {});
    }
    if (local_info.version >= 1 && !load_patch_sets(control_transfer))
        return abort_requested ? prepare_outcome::stopped : prepare_outcome::failed;
    std::vector<std::string> staged_names;
    for (const auto& record : remote_info.files) {
        const staging result = abort_requested ? staging::failed : stage_entry(*record);
        if (result == staging::failed)
            return abort_requested ? prepare_outcome::stopped : prepare_outcome::failed;
        if (result == staging::staged)
            staged_names.push_back(record->name);
    }
    keep_only_staged(staged_names);
    if (!write_prepared_marker()) {
        log_error("Prepare: the prepared marker could not be written");
        return prepare_outcome::failed;
    }
    log_info("Prepare: version " + version + " prepared, " + std::to_string(staged_names.size()) +
             " files staged");
    return prepare_outcome::prepared;
}

// The launcher's own record is compared with the running copy, which the next start
// would replace through the hand-off.
CUpdater::staging CUpdater::stage_entry(const file_info& entry) {
    const std::string installed =
        install_dir + "\\" + (is_launcher_record(entry) ? launcher_name : entry.name);
    const file_info local = make_file_info(entry.name, installed);
    if (file_info_valid(local) && digests_equal(local, entry))
        return staging::current;
    const std::string staged = prepared_path(entry.name);
    if (staged_file_matches(staged, entry)) {
        log_info("Prepare: " + entry.name + " staged already");
        return staging::staged;
    }
    const entry_paths paths = paths_for(entry);
    if (!create_directory_path(paths.work) || !create_directory_path(staged)) {
        log_error("Prepare: no work folder for " + entry.name);
        return staging::failed;
    }
    if (!is_launcher_record(entry) && patch_applies(local, entry)) {
        if (stage_patched(entry, paths, staged))
            return staging::staged;
        if (abort_requested)
            return staging::failed;
        end_patch_mode(0);
    }
    return stage_download(entry, paths, staged) ? staging::staged : staging::failed;
}

bool CUpdater::stage_patched(const file_info& entry, const entry_paths& paths,
                             const std::string& staged) {
    log_info("Prepare: patching " + entry.name);
    const bool patched =
        continue_download_to_file(paths.work, control_transfer, paths.patch_url) &&
        has_digests(paths.work, *patch_set.find(entry.name), required_strong_digest(entry, true)) &&
        run_helper(patch_command(paths)) &&
        has_digests(paths.fresh, entry, required_strong_digest(entry, false));
    held_file_pauses pauses;
    if (patched && move_into_place(paths.fresh, staged, pauses) == ERROR_SUCCESS) {
        delete_file_utf8(paths.work);
        log_info("Prepare: staged " + entry.name);
        return true;
    }
    delete_file_utf8(paths.fresh);
    // A stopped prepare keeps the part of the patch it has for the next one.
    if (abort_requested)
        return false;
    log_error("Prepare: patching " + entry.name + " failed, the whole file follows");
    delete_file_utf8(paths.work);
    return false;
}

// A download continued from an earlier prepare may have continued bytes of another
// file (a server that changed it meanwhile): when the result does not check out,
// the file is downloaded once more from its start.
bool CUpdater::stage_download(const file_info& entry, const entry_paths& paths,
                              const std::string& staged) {
    log_info("Prepare: downloading " + entry.name);
    if (!continue_download_to_file(paths.work, control_transfer, paths.file_url))
        return false;
    if (stage_downloaded(entry, paths, staged))
        return true;
    if (abort_requested)
        return false;
    log_info("Prepare: downloading " + entry.name + " again from its start");
    delete_file_utf8(paths.work);
    return continue_download_to_file(paths.work, control_transfer, paths.file_url) &&
           stage_downloaded(entry, paths, staged);
}

// Unpacked (a container) or as it is, checked by its digest, flushed and staged.
bool CUpdater::stage_downloaded(const file_info& entry, const entry_paths& paths,
                                const std::string& staged) {
    const download_check checked = check_download(entry, paths);
    const bool compressed = (entry.flags & file_info::lzma_container_flag) != 0;
    const std::string& finished = compressed ? paths.fresh : paths.work;
    if (checked != download_check::good) {
        log_error(checked == download_check::unpack_failed
                      ? "Prepare: unpacking failed " + paths.work
                      : "Prepare: hash check failed " + finished);
        delete_file_utf8(paths.fresh);
        return false;
    }
    held_file_pauses pauses;
    if (const DWORD error = move_into_place(finished, staged, pauses); error != ERROR_SUCCESS) {
        log_error("Prepare: not staged " + finished + "->" + staged + " (" + std::to_string(error) +
                  ")");
        return false;
    }
    delete_file_utf8(paths.work);
    log_info("Prepare: staged " + entry.name);
    return true;
}

// What an earlier version left staged goes, and so do the downloads in progress.
void CUpdater::keep_only_staged(const std::vector<std::string>& names) {
    std::set<std::string> kept;
    for (const std::string& name : names)
        kept.insert(file_alias_key(name));
    const native_path folder =
        with_long_path_prefix(utf8_to_wide(temp_dir + "\\" + prepared_folder_name));
    remove_unkept_files(folder, folder, kept);
    DeleteDirectory(temp_dir + "\\" + release_work_folder_name);
}

void CUpdater::remove_prepared_marker() {
    const std::string marker = temp_dir + "\\" + prepared_marker_name;
    delete_file_utf8(marker);
    delete_file_utf8(marker + signature_suffix);
}

// The record last, after its signature: a marker is complete once the record is there.
bool CUpdater::write_prepared_marker() {
    const std::string marker = temp_dir + "\\" + prepared_marker_name;
    const auto store = [](const std::string& path, const std::string& bytes) {
        return store_file_bytes(path + ".part", path, bytes);
    };
    return (!remote_record.signature ||
            store(marker + signature_suffix, *remote_record.signature)) &&
           store(marker, remote_record.bytes);
}
