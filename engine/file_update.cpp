// The file phase on the worker thread: each queued file is checked, patched or
// downloaded whole, and put in place only once its digest is right.

#include "update_engine.h"

#include "check_ahead.h"
#include "file_helpers.h"
#include "finishing_line.h"
#include "hex_text.h"
#include "installation_layout.h"
#include "logfile.h"
#include "lzma_exports.h"
#include "name_rules.h"
#include "platform.h"
#include "process_start.h"
#include "ui_texts.h"
#include "updater_ui.h"
#include "utf8.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <map>
#include <system_error>
#include <unordered_map>

namespace {

// The download (whole file or patch) of the entry named `name`, below `work_directory`.
std::string release_work_path(const std::string& work_directory, const std::string& name) {
    return work_directory + "\\" + release_work_folder_name + "\\" + name;
}

// The patched or unpacked file beside the download W is W.<this process's id>-<its
// start time>.new, a name that no other process knows, earlier or later. A patch tool
// may outlive the launcher or prepare that started it (where the system refused it the
// launcher's job, and for the moment the system takes to end it), and at its end it
// renames its output onto the name it was given: under a name of its own, the file
// this process checked is the file it moves. Nothing else writes a work file of the
// release: a download is written only by the launcher that holds the installation's
// lock, and a patch tool only reads it.
const std::string& fresh_suffix() {
    static const std::string suffix = [] {
        FILETIME started{};
        FILETIME unused{};
        GetProcessTimes(GetCurrentProcess(), &started, &unused, &unused, &unused);
        const std::uint64_t time =
            (std::uint64_t{started.dwHighDateTime} << 32) | started.dwLowDateTime;
        std::array<char, 16> digits{};
        const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), time, 16).ptr;
        std::string name(".");
        name.append(std::to_string(GetCurrentProcessId())).append("-");
        name.append(digits.data(), end).append(".new");
        return name;
    }();
    return suffix;
}

// The files an entry's update reads or writes, relative to the installation
// directory, as keys under which names of one file meet (file_alias_key): the
// installed file, and in the work directory the download (whole file or patch) and
// the unpacked or patched file beside it.
std::array<std::string, 3> path_keys(const std::string& name) {
    const std::string work = release_work_path(work_directory_name, name);
    return {file_alias_key(name), file_alias_key(work), file_alias_key(work + fresh_suffix())};
}

// Entries that share no file with another entry and whose names do not lead into
// the work directory, where the worker writes its own files. Only these may be
// checked ahead, or be worked on while the finishing line still works on another:
// entry X unpacks to Temp\files\X.new, where entry x.NEW downloads.
std::vector<bool> may_run_ahead(const std::vector<file_info*>& entries) {
    const std::string work_directory = file_alias_key(work_directory_name);
    std::map<std::string, int> uses;
    std::vector<std::array<std::string, 3>> keys;
    for (const file_info* entry : entries) {
        keys.push_back(path_keys(entry->name));
        for (const std::string& key : keys.back())
            ++uses[key];
    }
    std::vector<bool> allowed;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const std::string& installed = keys[index][0];
        allowed.push_back(std::all_of(keys[index].begin(), keys[index].end(),
                                      [&](const std::string& key) { return uses[key] == 1; }) &&
                          installed != work_directory &&
                          !installed.starts_with(work_directory + "\\") &&
                          entries[index]->name.find('~') == std::string::npos);
    }
    return allowed;
}

} // namespace

file_info* CUpdater::take_next_file() {
    const std::lock_guard guard(updater_lock);
    if (pending_files.empty())
        return nullptr;
    file_info* entry = pending_files.front();
    pending_files.pop_front();
    return entry;
}

// The last file done wakes the completion waiter at once, rather than at its next poll.
void CUpdater::mark_file_done(file_info* entry) {
    bool files_done = false;
    {
        const std::lock_guard guard(updater_lock);
        done_files.push_back(entry);
        files_done = pending_files.empty() && done_files.size() == total_files;
    }
    if (files_done)
        wake(true);
}

void CUpdater::add_received_bytes(std::int64_t count) {
    const std::lock_guard guard(updater_lock);
    bytes_received += static_cast<std::uint64_t>(count);
}

std::vector<file_info*> CUpdater::pending_snapshot() {
    const std::lock_guard guard(updater_lock);
    return {pending_files.begin(), pending_files.end()};
}

std::vector<check_item> CUpdater::check_items(const std::vector<file_info*>& entries) const {
    const std::vector<bool> allowed = may_run_ahead(entries);
    std::vector<check_item> items;
    for (std::size_t index = 0; index < entries.size(); ++index)
        items.push_back({entries[index]->name, install_dir + "\\" + entries[index]->name,
                         allowed[index] && !is_launcher_record(*entries[index])});
    return items;
}

void CUpdater::update_files(CFileTransfer* transfer) {
    const file_info* current = nullptr;
    try {
        update_each_file(*transfer, current);
    } catch (...) {
        report_unexpected_error("The file phase", current);
    }
}

void CUpdater::update_each_file(CFileTransfer& transfer, const file_info*& current) {
    const std::vector<file_info*> entries = pending_snapshot();
    std::unordered_map<const file_info*, std::size_t> positions;
    for (std::size_t index = 0; index < entries.size(); ++index)
        positions.emplace(entries[index], index);
    std::vector<check_item> items = check_items(entries);
    // An entry that may share a file with another waits until the files before it
    // are in place, as it would have if nothing ran ahead.
    std::vector<bool> waits_for_finishing;
    for (const check_item& item : items)
        waits_for_finishing.push_back(!item.may_run_ahead);
    check_ahead checks(std::move(items), abort_requested);
    finishing_line finishing(finishing_line::default_width(), [] {
        log_trace("Download waits for the files before it to be installed");
    });
    try {
        checks.start();
        finishing.start();
    } catch (const std::system_error& error) {
        log_error(std::string("Checking ahead could not start: ") + error.what());
    }
    while (file_info* entry = take_next_file()) {
        current = entry;
        const std::size_t index = positions.at(entry);
        if (waits_for_finishing[index])
            finishing.drain();
        if (is_launcher_record(*entry))
            mark_file_done(entry);
        else if (!update_entry(*entry, index, checks.record_of(index), transfer, finishing))
            return;
    }
    current = nullptr;
    finishing.drain();
}

void CUpdater::report_download_failure(const file_info& entry) {
    report_error("Downloading of required file " + entry.name + " failed!", IDS_DOWNLOAD_FAILED);
}

namespace {

std::string unexpected_error_text() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (const transfer_error& error) {
        return error.message;
    } catch (...) {
        return "an unknown exception";
    }
}

} // namespace

// Without a report the completion waiter would wait for ever for files that are
// never done. Whatever fails here still aborts the run.
void CUpdater::report_unexpected_error(const char* where, const file_info* entry) noexcept {
    try {
        log_error(std::string(where) + " ended by an unexpected error: " + unexpected_error_text());
        if (entry)
            report_download_failure(*entry);
        else
            report_error("Viga failide uuendamisel!", IDS_UPDATE_FAILED);
    } catch (...) {
        abort_requested = true;
    }
}

CUpdater::entry_paths CUpdater::paths_for(const file_info& entry) const {
    const std::string work = release_work_path(temp_dir, entry.name);
    const std::string url_name = url_escaped_name(entry.name);
    return {install_dir + "\\" + entry.name, work, work + fresh_suffix(), file_base_url + url_name,
            patch_base_url + url_name};
}

// A current file is checked in a fraction of a millisecond, faster than the window
// shows a text: with thousands of files the texts would queue up before the
// application's start (and Windows refuses posts to a queue of 10,000). The window
// gets a name at most every 50 ms; info_text always holds the latest.
void CUpdater::show_check_of(const file_info& entry) {
    constexpr std::chrono::milliseconds check_text_interval{50};
    const std::string text = ui_text(text_id::checking_file, {entry.name});
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check_text_posted >= check_text_interval) {
        last_check_text_posted = now;
        set_info_text(text);
        return;
    }
    const std::lock_guard guard(text_lock);
    info_text = text;
}

// False when the loop must end (an error was reported, or the run was aborted).
bool CUpdater::update_entry(file_info& entry, std::size_t position, const file_info& local,
                            CFileTransfer& transfer, finishing_line& finishing) {
    const entry_paths paths = paths_for(entry);
    show_check_of(entry);
    if (file_info_valid(local) && digests_equal(local, entry)) {
        log_info(entry.name + " Local version ok -> Continue");
        mark_file_done(&entry);
        return true;
    }
    create_directory_path(paths.work);
    create_directory_path(paths.local);
    // The patched file's move and the whole file's share the 10 s for which a hold
    // on the installed file is waited out.
    held_file_pauses pauses;
    if (staged_file_matches(prepared_path(entry.name), entry)) {
        finishing.hand_over(prepared_file_job(entry, paths, pauses));
        return true;
    }
    if (patch_applies(local, entry)) {
        switch (try_patch(entry, position, paths, transfer, pauses, finishing)) {
        case patch_outcome::applied:
            return true;
        case patch_outcome::aborted:
            return false;
        case patch_outcome::failed:
            end_patch_mode(position);
            break;
        }
    }
    return download_whole_file(entry, paths, transfer, pauses, finishing);
}

// Patch mode is read by the worker and ended by the worker or by a finish step on
// the line, which also remember the position of the first failed patch: a patch of
// a file before it, applied beside it, is still used.
bool CUpdater::patch_mode_on() {
    const std::lock_guard guard(updater_lock);
    return patch_set.version == version_number;
}

void CUpdater::end_patch_mode(std::size_t position) {
    const std::lock_guard guard(updater_lock);
    patch_set.version = 0;
    first_failed_patch = std::min(first_failed_patch, position);
}

bool CUpdater::patch_before_any_failure(std::size_t position) {
    const std::lock_guard guard(updater_lock);
    return position < first_failed_patch;
}

// A job for the finishing line. What its work or its finish step throws is reported
// as the entry's failure by its finish step, in the records' order like every other
// failure: the files before it are still put in place, and none behind it is.
finishing_line::job CUpdater::finishing_job(file_info& entry,
                                            std::function<finishing_line::finish_step()> work,
                                            std::uint64_t bytes, std::uint64_t memory) {
    return {[this, &entry, work = std::move(work)]() -> finishing_line::finish_step {
                finishing_line::finish_step finish;
                std::exception_ptr thrown;
                try {
                    finish = work();
                } catch (...) {
                    thrown = std::current_exception();
                }
                return [this, &entry, finish = std::move(finish), thrown] {
                    if (error_reported())
                        return;
                    try {
                        if (thrown)
                            std::rethrow_exception(thrown);
                        if (finish)
                            finish();
                    } catch (...) {
                        report_unexpected_error("A finishing job", &entry);
                    }
                };
            },
            bytes, memory};
}

bool CUpdater::patch_applies(const file_info& local, const file_info& entry) {
    return patch_mode_on() && file_info_valid(local) && patch_set.find(entry.name) != nullptr;
}

// The patch is downloaded here and applied on the finishing line, beside other
// files' patches and unpacking; a patch that fails there falls back to the whole
// file in its finish step.
CUpdater::patch_outcome CUpdater::try_patch(file_info& entry, std::size_t position,
                                            const entry_paths& paths, CFileTransfer& transfer,
                                            held_file_pauses& pauses, finishing_line& finishing) {
    const file_info& patch = *patch_set.find(entry.name);
    set_info_text(ui_text(text_id::patching_file, {entry.name}));
    if (!download_to_file(paths.work, transfer, paths.patch_url)) {
        log_error("Patch: download patch failed " + paths.patch_url + "->" + paths.work);
        return patch_outcome::failed;
    }
    log_trace("Downloaded: " + paths.patch_url);
    if (abort_requested)
        return patch_outcome::aborted;
    // Checked here, before the next file's patch is fetched: a damaged patch set ends
    // patch mode at once.
    if (!has_digests(paths.work, patch, required_strong_digest(entry, true))) {
        log_error("Patch:" + entry.name + " Hash Failed");
        return patch_outcome::failed;
    }
    finishing.hand_over(finishing_job(
        entry,
        [this, &entry, position, paths, pauses] {
            return finish_patch(entry, position, paths, pauses);
        },
        patch.size, patch_tool_memory));
    return patch_outcome::applied;
}

finishing_line::finish_step CUpdater::finish_patch(file_info& entry, std::size_t position,
                                                   const entry_paths& paths,
                                                   held_file_pauses pauses) {
    if (abort_requested)
        return nullptr;
    const bool patched = apply_patch(entry, paths);
    return [this, &entry, position, paths, pauses, patched]() mutable {
        install_patched_file(entry, position, paths, pauses, patched);
    };
}

bool CUpdater::apply_patch(const file_info& entry, const entry_paths& paths) {
    const std::string command = patch_command(paths);
    if (!run_helper(command)) {
        log_error("Patch: execute patcher failed " + command);
        return false;
    }
    log_trace("Patched: " + paths.fresh);
    if (!has_digests(paths.fresh, entry, required_strong_digest(entry, false))) {
        log_error("Patch: Hash check failed " + paths.fresh);
        return false;
    }
    return true;
}

// Patch mode ends at the first failed patch in the records' order: a patch applied
// beside it for a later file is not used, and that file, as the failed one, is
// downloaded whole, here, in order.
void CUpdater::install_patched_file(file_info& entry, std::size_t position,
                                    const entry_paths& paths, held_file_pauses& pauses,
                                    bool patched) {
    if (patched && patch_before_any_failure(position)) {
        if (move_over_installed_file(entry.name, paths.fresh, paths.local, pauses) ==
            ERROR_SUCCESS) {
            log_info("Patch: successful " + paths.local);
            delete_file_utf8(paths.work, pause_unless_aborted());
            mark_file_done(&entry);
            return;
        }
        log_error("Patch: move file failed " + paths.fresh + "->" + paths.local);
    }
    end_patch_mode(position);
    download_in_order(entry, paths, pauses);
}

void CUpdater::download_in_order(file_info& entry, const entry_paths& paths,
                                 held_file_pauses& pauses) {
    log_trace("Downloading: " + paths.file_url);
    set_info_text(ui_text(text_id::downloading_file, {entry.name}));
    // The second worker never runs; its transfer counts the bytes and ends on Cancel.
    if (!download_to_file(paths.work, workers[1]->counted_transfer(), paths.file_url)) {
        log_error("Download failed: " + paths.file_url);
        return report_download_failure(entry);
    }
    log_trace("Downloaded: " + paths.file_url);
    install_checked_download(entry, paths, pauses, check_download(entry, paths));
}

std::string CUpdater::patch_command(const entry_paths& paths) const {
    return quoted(patch_tool_path()) + " " + quoted(paths.local) + " " + quoted(paths.fresh) + " " +
           quoted(paths.work);
}

// A hold on either file is waited out unless the run is aborted meanwhile.
DWORD CUpdater::move_over_installed_file(const std::string& name, const std::string& source,
                                         const std::string& target, held_file_pauses& pauses) {
    // The launcher's own file is never put back: the launcher runs the restore.
    if (keeping && !is_launcher_name(name))
        if (const DWORD error = kept->keep(name, target, pauses))
            return error;
    return move_into_place(source, target, pauses, pause_unless_aborted());
}

// The whole file goes to W; the finishing line unpacks it to N when it is a
// container and replaces the installed file only after its digest has been checked,
// while the next file downloads. A failure leaves the installed file as it was.
bool CUpdater::download_whole_file(file_info& entry, const entry_paths& paths,
                                   CFileTransfer& transfer, held_file_pauses pauses,
                                   finishing_line& finishing) {
    if (abort_requested)
        return false;
    log_trace("Downloading: " + paths.file_url);
    set_info_text(ui_text(text_id::downloading_file, {entry.name}));
    if (!download_to_file(paths.work, transfer, paths.file_url)) {
        // A file before this one that failed to install was the first error.
        finishing.drain();
        log_error("Download failed: " + paths.file_url);
        report_download_failure(entry);
        return false;
    }
    log_trace("Downloaded: " + paths.file_url);
    const bool compressed = (entry.flags & file_info::lzma_container_flag) != 0;
    finishing.hand_over(finishing_job(
        entry, [this, &entry, paths, pauses] { return finish_download(entry, paths, pauses); },
        entry.size,
        compressed ? container_file_decode_memory(utf8_to_wide(paths.work).c_str())
                   : std::uint64_t{file_read_block_size}));
    return !abort_requested;
}

// The unpacking and the check run beside other files'; what they found is reported,
// or the file moved into place, by the finish step, in the records' order. A file
// behind one that failed is never moved; one whose work began before a Cancel is,
// as a single line would have finished it.
finishing_line::finish_step CUpdater::finish_download(file_info& entry, const entry_paths& paths,
                                                      held_file_pauses pauses) {
    if (abort_requested)
        return nullptr;
    const download_check checked = check_download(entry, paths);
    return [this, &entry, paths, pauses, checked]() mutable {
        install_checked_download(entry, paths, pauses, checked);
    };
}

CUpdater::download_check CUpdater::check_download(const file_info& entry,
                                                  const entry_paths& paths) {
    const bool compressed = (entry.flags & file_info::lzma_container_flag) != 0;
    const std::string& staged = compressed ? paths.fresh : paths.work;
    const std::optional<sha256_digest> strong = required_strong_digest(entry, false);
    md5_digest unpacked_digest{};
    sha256_digest unpacked_strong{};
    if (compressed &&
        uncompress_with_digest(utf8_to_wide(paths.work).c_str(), utf8_to_wide(paths.fresh).c_str(),
                               unpacked_digest, strong ? &unpacked_strong : nullptr) != 0) {
        log_trace("LzmaUncompress Failed: " + paths.work + "->" + paths.local);
        return download_check::unpack_failed;
    }
    if (compressed)
        log_trace("Unpacked: " + paths.fresh);
    // An unpacked file is checked by the digest of the bytes written as they were
    // unpacked: reading it back would cost as much again.
    if (compressed ? unpacked_digest != entry.digest ||
                         !strong_digest_agrees(staged, strong, unpacked_strong)
                   : !has_digests(staged, entry, strong)) {
        log_trace((compressed ? "LzmaUncompress Hash check failed: " : "Hash check failed: ") +
                  paths.local);
        return download_check::wrong_digest;
    }
    return download_check::good;
}

void CUpdater::install_checked_download(file_info& entry, const entry_paths& paths,
                                        held_file_pauses& pauses, download_check checked) {
    if (checked == download_check::unpack_failed)
        return report_error("Viga faili lahtipakkimisel", IDS_UNPACK_FAILED);
    if (checked == download_check::wrong_digest)
        return report_error("Uuendatud faili hash ei vasta serveri versioonile!",
                            IDS_HASH_MISMATCH);
    const bool compressed = (entry.flags & file_info::lzma_container_flag) != 0;
    const std::string& staged = compressed ? paths.fresh : paths.work;
    if (const DWORD error = move_over_installed_file(entry.name, staged, paths.local, pauses);
        error != ERROR_SUCCESS) {
        log_error("Replace failed: " + staged + "->" + paths.local + " (" + std::to_string(error) +
                  ")");
        if (compressed)
            report_error("Viga faili lahtipakkimisel", IDS_UNPACK_FAILED);
        else
            report_error("Faili ei suudetud kopeerida!", IDS_COPY_FAILED);
        return;
    }
    log_trace("Installed: " + paths.local);
    delete_file_utf8(paths.work, pause_unless_aborted());
    mark_file_done(&entry);
}

std::optional<sha256_digest> CUpdater::required_strong_digest(const file_info& entry,
                                                              bool patch) const {
    if (release_keys.empty())
        return std::nullopt;
    const sha256_digest* listed =
        patch ? patch_strong_digests.find(strong_digest_record::kind::served, entry.name)
              : strong_digests.find(strong_digest_record::kind::file, entry.name);
    return listed ? *listed : sha256_digest{};
}

bool CUpdater::has_digests(const std::string& path, const file_info& record,
                           const std::optional<sha256_digest>& strong) const {
    sha256_digest actual{};
    return digests_equal(make_file_info(record.name, path, strong ? &actual : nullptr), record) &&
           strong_digest_agrees(path, strong, actual);
}

bool CUpdater::strong_digest_agrees(const std::string& path,
                                    const std::optional<sha256_digest>& required,
                                    const sha256_digest& actual) const {
    if (!required || *required == actual)
        return true;
    log_error("SHA-256 check failed: " + path + " is " + hex_of(actual) + ", its record " +
              hex_of(*required));
    return false;
}
