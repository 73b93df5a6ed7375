// CUpdater::run: from the master-version record to the start of the application,
// a self-update, or the file phase; and CUpdater::check_release, the same judgement
// of the records without a window and without writing anything.

#include "update_engine.h"

#include "file_helpers.h"
#include "installation_layout.h"
#include "logfile.h"
#include "name_rules.h"
#include "own_resource.h"
#include "process_start.h"
#include "rollout.h"
#include "signature.h"
#include "strong_digests.h"
#include "text_decoding.h"
#include "ui_texts.h"
#include "updater_ui.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace {

using namespace std::chrono_literals;

constexpr auto no_update_pause = 3000ms;
constexpr WORD patch_tool_resource_id = 132;
constexpr const char* patch_tool_file_name = "bspatch.exe";
constexpr const char* master_file_name = "masterversion";

struct c_heap_free {
    void operator()(char* block) const noexcept { std::free(block); }
};

// The body of a URL; only `result` when the download failed (already logged).
struct fetched_body {
    download_result result;
    std::optional<std::string> bytes;
};

fetched_body fetch(file_transfer& transfer, const std::string& url) {
    char* data = nullptr;
    long size = 0;
    const download_result result = download_to_memory(transfer, url, &data, &size);
    if (result != download_result::received)
        return {result, std::nullopt};
    const std::unique_ptr<char, c_heap_free> block(data);
    return {result, data ? std::string(data, static_cast<std::size_t>(size)) : std::string()};
}

// The body of a URL, or nothing when the download failed (already logged).
std::optional<std::string> fetch_body(file_transfer& transfer, const std::string& url) {
    return fetch(transfer, url).bytes;
}

// A control file as the run sees it: its bytes, not received (a transfer failure,
// already logged), or refused by the signature check.
struct control_file {
    enum class state { received, not_received, refused };
    state outcome;
    std::string bytes;
    // The detached signature that was checked, when there is a key.
    std::optional<std::string> signature;
};

// Logs a refusal with its reason; false when there is one.
bool accepted(const std::string& url, const std::string& problem) {
    if (!problem.empty())
        log_error("Refused " + url + ": " + problem);
    return problem.empty();
}

// A wrong signature, with the keys this launcher holds and those that signed, so
// that a launcher left behind by a change of key says so.
std::string wrong_signature(const key_ring& held, const std::string& signers) {
    return "wrong signature (this launcher holds the keys " + key_ids(held) + "; signed by " +
           (signers.empty() ? "keys it does not name" : signers) + ")";
}

std::string listed_signers(const std::optional<std::vector<keyed_signature>>& list) {
    key_ring keys;
    for (const keyed_signature& line : list.value_or(std::vector<keyed_signature>{}))
        keys.push_back(line.key);
    return keys.empty() ? std::string() : key_ids(keys);
}

// The body of a URL; with keys, only when its ".sig" holds the signature of one of
// them of exactly these bytes, or, when it does not, its ".sigs" does. A refusal is
// logged with its reason.
control_file fetch_control_file(file_transfer& transfer, const std::string& url,
                                const key_ring& keys) {
    std::optional<std::string> body = fetch_body(transfer, url);
    if (!body)
        return {control_file::state::not_received, {}, {}};
    if (keys.empty())
        return {control_file::state::received, std::move(*body), {}};
    std::optional<std::string> signature = fetch_body(transfer, url + signature_suffix);
    if (!signature) {
        accepted(url, "no signature");
        return {control_file::state::refused, {}, {}};
    }
    if (signature_matches_any(keys, *body, *signature))
        return {control_file::state::received, std::move(*body), std::move(signature)};
    const std::optional<std::string> list_text = fetch_body(transfer, url + signature_list_suffix);
    const auto list = list_text ? parse_signature_list(*list_text) : std::nullopt;
    if (list && signature_list_matches(keys, *body, *list))
        return {control_file::state::received, std::move(*body), std::move(signature)};
    accepted(url, wrong_signature(keys, listed_signers(list)));
    return {control_file::state::refused, {}, {}};
}

// The master record signs itself: with keys, only a record with a piece that holds
// one key's signature of everything before it is taken.
bool master_signed_by(const key_ring& keys, const std::string& record, const std::string& url) {
    if (master_signature_chain(record).empty())
        return accepted(url, "no signature");
    if (master_signed_by_any(keys, record))
        return true;
    master_record claimed;
    parse_master_version(record, claimed);
    std::string signers;
    for (const char letter : claimed.value(master_keys_key))
        signers += letter == ',' ? std::string(", ") : std::string(1, letter);
    return accepted(url, wrong_signature(keys, signers));
}

// Seconds since 1970-01-01 UTC.
std::int64_t current_utc_time() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    constexpr std::uint64_t ticks_per_second = 10000000;
    constexpr std::uint64_t unix_epoch_ticks = 116444736000000000;
    return static_cast<std::int64_t>((ticks - unix_epoch_ticks) / ticks_per_second);
}

// A signed master record is trusted only until the time it names.
bool master_is_current(const master_record& master, const std::string& url) {
    const std::string& expires = master.value(expires_key);
    const expiry_check result = check_expiry(expires, current_utc_time());
    if (result == expiry_check::valid)
        return true;
    log_error("Refused " + url + ": " + expiry_problem(result) + " (expires=" + expires + ")");
    return false;
}

// A publisher writes each key once: a signed record that gives one twice was made
// from a value that carried pieces of its own ("startapp=app$version=1").
bool names_each_key_once(const master_record& master, const std::string& url) {
    if (!master.repeated_key())
        return true;
    log_error("Refused " + url + ": key \"" + *master.repeated_key() + "\" appears twice");
    return false;
}

// A signature proves who made a record, not which version it was made for: a signed
// run takes only the version that the master record names.
bool states_master_version(const version_info& info, std::int32_t version, const std::string& url) {
    if (info.version == version)
        return true;
    log_error("Refused " + url + ": states version " + std::to_string(info.version) +
              ", the master record " + std::to_string(version));
    return false;
}

// One publisher's key may sign the releases of several products: a launcher that
// names its product takes only master records signed for it, so that no other
// product's release can be served at its address.
bool made_for(const master_record& master, const std::string& product, const std::string& url) {
    const std::string& stated = master.value(master_product_key);
    if (product.empty() || stated == product)
        return true;
    log_error("Refused " + url + ": made for product " + (stated.empty() ? "(none)" : stated));
    return false;
}

// Every product's and version's SHA-256 record is signed by the same key: a run
// takes only the one made for its product and for the versions it moves between.
// Records made before they named either name neither, and the version record
// itself states its version.
bool belongs_here(const strong_digest_record& record, const std::string& product,
                  const std::string& version, const std::string& url) {
    if (!product.empty() && record.product() != product) {
        log_error("Refused " + url + ": made for product " + record.product().value_or("(none)"));
        return false;
    }
    if (record.version() && *record.version() != version) {
        log_error("Refused " + url + ": made for version " + *record.version());
        return false;
    }
    return true;
}

// A genuinely signed record of an older release can be replayed until it expires:
// a signed run never goes back below the installed version.
bool goes_back(std::int32_t offered, std::int32_t installed, const std::string& url) {
    if (offered >= installed)
        return false;
    log_error("Refused " + url + ": version " + std::to_string(offered) +
              " is lower than the installed version " + std::to_string(installed));
    return true;
}

// A record is usable only when it reads completely and names nothing outside the
// installation.
bool read_version_info(version_info& info, const std::string& bytes) {
    byte_reader reader(static_cast<std::int32_t>(bytes.size()), bytes.data());
    return info.read(reader) && names_stay_inside(info);
}

// Every name before a comma, even an empty one; the piece after the last comma
// only when it is not empty.
std::vector<std::string> split_patch_names(const std::string& value) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t comma; (comma = value.find(',', start)) != std::string::npos;
         start = comma + 1)
        names.push_back(value.substr(start, comma - start));
    if (start < value.size())
        names.push_back(value.substr(start));
    return names;
}

// What the window shows when the run ends for a fault.
text_id failure_text(release_fault fault) {
    switch (fault) {
    case release_fault::master_without_version:
        return text_id::version_failed;
    case release_fault::record_not_received:
        return text_id::version_record_failed;
    case release_fault::proxy_sign_in:
        return text_id::proxy_sign_in_wanted;
    case release_fault::record_refused:
    case release_fault::record_damaged:
        return text_id::version_record_refused;
    case release_fault::master_not_received:
    case release_fault::master_refused:
    case release_fault::master_expired:
    case release_fault::master_damaged:
    case release_fault::older_version:
        break;
    }
    return text_id::master_record_failed;
}

} // namespace

void CUpdater::run() {
    set_title_text(ui_text(text_id::checking_version));
    post_progress(0);
    CFileTransfer& transfer = control_transfer;
    if (!silent)
        transfer.offer_proxy_sign_in(window);
    set_callbacks(
        transfer, [](long) {}, [](long) {},
        [this](const char* name) {
            set_info_text(ui_text(text_id::downloading_control_file, {name}));
        });

    if (restores_failed_release(transfer))
        return;
    master_record master;
    stdio_stream local_stream;
    if (const std::optional<release_fault> fault = read_release(transfer, master, local_stream)) {
        set_info_text(ui_text(failure_text(*fault)));
        return;
    }
    const std::string notes = decode_text_leniently(
        fetch_control_file(transfer, file_base_url + "changes.txt", release_keys).bytes);

    const bool same_version = local_info.version == remote_info.version;
    if (keeps_installed_version(master, same_version))
        run_without_update(notes, same_version);
    else
        run_update(transfer, notes, master.value("force_releasenotes") == "1", local_stream);
}

release_check CUpdater::check_release(const std::string& url, const std::wstring& executable_path) {
    set_paths(url, executable_path);
    read_only = true;
    master_record master;
    stdio_stream local_stream;
    if (const std::optional<release_fault> fault =
            read_release(control_transfer, master, local_stream))
        return {release_check::outcome::failed, 0, *fault};
    if (keeps_installed_version(master, local_info.version == remote_info.version))
        return {release_check::outcome::current, local_info.version};
    if (prepared_release_present())
        return {release_check::outcome::prepared, remote_info.version};
    return {release_check::outcome::available, remote_info.version};
}

std::optional<release_fault> CUpdater::read_release(CFileTransfer& transfer, master_record& master,
                                                    stdio_stream& local_stream) {
    if (const std::optional<release_fault> fault = read_master_record(transfer, master))
        return fault;
    if (master.value("version").empty())
        return release_fault::master_without_version;
    version_number = std::atoi(master.value("version").c_str());
    patch_names = split_patch_names(master.value("patches"));
    start_app = master.value("startapp");

    local_stream = read_local_info();
    if (!release_keys.empty() &&
        goes_back(version_number, local_info.version, base_url + master_file_name))
        return release_fault::older_version;
    file_base_url = base_url + std::to_string(version_number) + "/";
    const std::string remote_url = file_base_url + "versioninfo.vif";
    const control_file remote_bytes = fetch_control_file(transfer, remote_url, release_keys);
    if (remote_bytes.outcome == control_file::state::not_received)
        return release_fault::record_not_received;
    if (remote_bytes.outcome == control_file::state::refused)
        return release_fault::record_refused;
    remote_record = {remote_bytes.bytes, remote_bytes.signature};
    if (!read_version_info(remote_info, remote_bytes.bytes) ||
        (!release_keys.empty() &&
         !states_master_version(remote_info, version_number, remote_url)) ||
        (!start_app.empty() && !is_safe_relative_name(start_app)))
        return release_fault::record_damaged;
    if (release_keys.empty())
        return std::nullopt;
    return read_strong_digests(transfer);
}

// A launcher with keys installs no file whose SHA-256 the version's signed record
// does not give: a tree without one is refused like a record without a signature.
std::optional<release_fault> CUpdater::read_strong_digests(CFileTransfer& transfer) {
    const std::string url = file_base_url + strong_digest_file_name;
    const control_file bytes = fetch_control_file(transfer, url, release_keys);
    if (bytes.outcome == control_file::state::not_received)
        log_error("Refused " + url + ": a signed release needs its SHA-256 record");
    if (bytes.outcome != control_file::state::received)
        return release_fault::record_refused;
    std::optional<strong_digest_record> parsed = parse_strong_digests(bytes.bytes);
    if (parsed && !belongs_here(*parsed, release_product, std::to_string(remote_info.version), url))
        return release_fault::record_refused;
    const auto unlisted =
        std::find_if(remote_info.files.begin(), remote_info.files.end(), [&](const auto& record) {
            return !parsed || !parsed->find(strong_digest_record::kind::file, record->name);
        });
    if (unlisted != remote_info.files.end()) {
        log_error("Refused " + url + ": " +
                  (parsed ? "no SHA-256 of " + (*unlisted)->name : std::string("damaged")));
        return release_fault::record_damaged;
    }
    strong_digests = std::move(*parsed);
    return std::nullopt;
}

// The installed version stays when it is the server's, or when a phased rollout does
// not offer the new one here yet, unless an installed file is missing.
bool CUpdater::keeps_installed_version(const master_record& master, bool same_version) {
    return (same_version || waits_for_rollout(master) || refuses_offered_version()) &&
           installed_files_present(same_version);
}

// A version offered to a share of the installations is taken only when this
// installation's bucket lies inside the share; one without an identity of its own
// waits as one outside it does. Nothing installed yet: always taken.
bool CUpdater::waits_for_rollout(const master_record& master) {
    if (local_info.version < 1)
        return false;
    const std::optional<int> offered = rollout_percent_of(master);
    if (!offered)
        log_error("Phased rollout: rollout=" + master.value(rollout_key) +
                  " is not a share from 0 to 100, read as 0");
    const int percent = offered.value_or(0);
    if (percent >= full_rollout)
        return false;
    const std::string share = "Phased rollout: version " + std::to_string(version_number) +
                              " is offered to " + std::to_string(percent) + "%, ";
    const std::optional<std::string> identity = rollout_identity();
    if (!identity) {
        log_info(share + "this installation waits (no identity)");
        return installed_start_app_listed();
    }
    const int bucket = rollout_bucket(*identity, version_number);
    const bool waits = bucket >= percent;
    log_info(share + (waits ? "this installation waits" : "this installation takes it") +
             " (bucket " + std::to_string(bucket) + ")");
    return waits && installed_start_app_listed();
}

// A check leaves a missing identity missing: the installation then waits.
std::optional<std::string> CUpdater::rollout_identity() {
    return read_only ? stored_installation_identity(install_dir, pause_unless_aborted())
                     : installation_identity(install_dir, pause_unless_aborted());
}

// A waiting installation starts what the new master record names; a release that
// renames the application would otherwise start nothing until it reached it.
bool CUpdater::installed_start_app_listed() const {
    if (start_app.empty() || local_info.find(start_app))
        return true;
    log_info("Installed files do not list " + start_app + " -> taking version " +
             std::to_string(version_number) + " after all");
    return false;
}

// Fetches and parses the master record; with release keys built in, only a record
// signed with one of them, giving each key once and not yet expired counts as
// received.
std::optional<release_fault> CUpdater::read_master_record(CFileTransfer& transfer,
                                                          master_record& master) {
    const std::string url = base_url + master_file_name;
    const std::optional<key_ring> keys = parse_key_ring(release_key_hex);
    if (!release_key_hex.empty() && !keys) {
        log_error("Refused " + url + ": the built-in release key is unreadable");
        return release_fault::master_refused;
    }
    release_keys = keys.value_or(key_ring{});
    const fetched_body fetched = fetch(transfer, url);
    if (fetched.result == download_result::proxy_sign_in_wanted)
        return release_fault::proxy_sign_in;
    const std::optional<std::string>& text = fetched.bytes;
    if (!text)
        return release_fault::master_not_received;
    const bool is_signed = !release_keys.empty();
    if (is_signed && !master_signed_by(release_keys, *text, url))
        return release_fault::master_refused;
    parse_master_version(*text, master);
    if (is_signed && !names_each_key_once(master, url))
        return release_fault::master_damaged;
    if (is_signed && !made_for(master, release_product, url))
        return release_fault::master_refused;
    if (is_signed && !master_is_current(master, url))
        return release_fault::master_expired;
    return std::nullopt;
}

// Reads the installed record; a damaged one counts as version 0 and is deleted
// (a check keeps it).
// The stream stays open while the run goes on.
stdio_stream CUpdater::read_local_info() {
    const std::string path = install_dir + "\\" + installed_record_name;
    stdio_stream stream;
    if (!open_file_utf8("rb", stream, path))
        return stream;
    byte_reader reader(stream.get());
    if (local_info.read(reader))
        return stream;
    local_info.clear();
    close_file(stream);
    if (!read_only)
        delete_file_utf8(path, pause_unless_aborted());
    return stream;
}

// Without an update the files are not hashed, but a file that is missing or has
// another size than the installed record lists (a power cut, a hand that deleted
// it) would otherwise stay broken until the next release: one look at each,
// every broken one logged. The launcher's own file is the self-update's business.
// An installation waiting for a phased rollout repairs itself by taking the release.
bool CUpdater::installed_files_present(bool same_version) {
    bool present = true;
    for (const auto& record : local_info.files) {
        // A name that could not be ours counts as missing: the repair replaces the record.
        const bool safe = is_safe_relative_name(record->name);
        if (safe && is_launcher_record(*record))
            continue;
        const std::optional<std::int64_t> size =
            safe ? file_size(install_dir + "\\" + record->name) : std::nullopt;
        if (!size)
            log_info("Installed file missing: " + record->name);
        else if (*size != record->size)
            log_info("Installed file has another size: " + record->name + " (" +
                     std::to_string(*size) + " bytes, listed " + std::to_string(record->size) +
                     ")");
        present = present && size == record->size;
    }
    if (!present)
        log_info(same_version
                     ? "Local version == remote version, installation incomplete -> repairing"
                     : "Installation incomplete -> taking version " +
                           std::to_string(version_number) + " after all");
    return present;
}

// The release notes describe the server's version: offered only when it is installed.
void CUpdater::run_without_update(const std::string& notes, bool same_version) {
    if (same_version)
        log_info("Local version == remote version -> no updates");
    const std::string command = start_command();
    set_title_text(ui_text(text_id::no_updates));
    set_info_text("");
    post_progress(100);
    if (same_version)
        publish_release_notes(notes, false);
    if (sleep_unless_aborted(no_update_pause))
        return;
    note_application_start();
    post_string(window, UM_START_APP, command);
}

void CUpdater::run_update(CFileTransfer& transfer, const std::string& notes, bool show_notes,
                          stdio_stream& local_stream) {
    publish_release_notes(notes, show_notes);
    if (local_info.version >= 1 && !load_patch_sets(transfer)) {
        set_info_text(ui_text(text_id::patch_sets_failed));
        return;
    }
    if (remote_info.version < 1) {
        set_title_text(ui_text(text_id::update_failed_title));
        return;
    }
    if (!begin_trial())
        return report_error(ui_text(text_id::update_failed), IDS_UPDATE_FAILED);
    {
        const std::lock_guard guard(updater_lock);
        if (!queue_files(transfer))
            return;
        total_files = static_cast<std::uint32_t>(pending_files.size());
        set_title_text(ui_text(text_id::updating_files));
        post_progress(0);
        workers[0]->start();
    }
    // The waiter rewrites the installed record; it must not find it open.
    close_file(local_stream);
    retire_run_thread_and_start_waiter();
}

// False when a listed patch set could not be downloaded, which ends the run. A
// patch set that does not read, or a patch tool that cannot be written, leaves
// patch mode off.
bool CUpdater::load_patch_sets(CFileTransfer& transfer) {
    const std::string name =
        std::to_string(local_info.version) + "_" + std::to_string(remote_info.version);
    for (const std::string& listed : patch_names) {
        if (listed != name)
            continue;
        patch_base_url = base_url + name + "/";
        const control_file bytes =
            fetch_control_file(transfer, patch_base_url + "versioninfo.vif", release_keys);
        if (bytes.outcome == control_file::state::not_received)
            return false;
        if (bytes.outcome == control_file::state::refused ||
            !read_version_info(patch_set, bytes.bytes) || !read_patch_strong_digests(transfer)) {
            patch_set.clear();
            continue;
        }
        patch_set.version = version_number;
        if (!write_patch_tool())
            patch_set.clear();
    }
    return true;
}

// With keys, patches are used only when the set's signed record gives the SHA-256
// of each; otherwise the files are downloaded whole.
bool CUpdater::read_patch_strong_digests(CFileTransfer& transfer) {
    if (release_keys.empty())
        return true;
    const std::string url = patch_base_url + strong_digest_file_name;
    const control_file bytes = fetch_control_file(transfer, url, release_keys);
    std::optional<strong_digest_record> parsed = bytes.outcome == control_file::state::received
                                                     ? parse_strong_digests(bytes.bytes)
                                                     : std::nullopt;
    const bool complete =
        parsed &&
        belongs_here(*parsed, release_product,
                     std::to_string(local_info.version) + " " + std::to_string(remote_info.version),
                     url) &&
        std::all_of(patch_set.files.begin(), patch_set.files.end(), [&](const auto& patch) {
            return parsed->find(strong_digest_record::kind::served, patch->name) != nullptr;
        });
    if (!complete) {
        log_error("Patch set without a usable SHA-256 record, files are downloaded whole: " + url);
        return false;
    }
    patch_strong_digests = std::move(*parsed);
    return true;
}

std::string CUpdater::patch_tool_path() const {
    return temp_dir + "\\" + patch_tool_file_name;
}

bool CUpdater::write_patch_tool() {
    const std::string_view tool =
        own_resource(L"PATCHER", MAKEINTRESOURCEW(patch_tool_resource_id));
    if (tool.empty())
        return false;
    const std::string path = patch_tool_path();
    create_directory_path(path);
    // A patch tool whose launcher was ended while starting it stays suspended, holding it.
    clear_path_for_new_file(path, pause_unless_aborted());
    stdio_stream file;
    if (!open_file_utf8("wb", file, path))
        return false;
    const bool written = write_file(file, tool.size(), tool.data()) == tool.size();
    return close_file(file) == 0 && written;
}

// Queues every record of the new version, unless the launcher itself differs from
// its record: then the self-update takes over and the run ends (false).
bool CUpdater::queue_files(CFileTransfer& transfer) {
    for (const auto& record : remote_info.files) {
        if (is_launcher_record(*record)) {
            const file_info running =
                make_file_info(launcher_name, install_dir + "\\" + launcher_name);
            if (!digests_equal(running, *record)) {
                replace_launcher(*record, transfer);
                return false;
            }
        }
        pending_files.push_back(record.get());
    }
    return true;
}

// The application's path as one quoted program path.
std::string CUpdater::start_command() const {
    return quoted(install_dir + "\\" + start_app);
}
