#pragma once
// CUpdater, the update engine: one per process. The entry starts it with the
// download base URL; its run thread fetches the server's records and decides what
// happens: no update (start the application after a pause), a self-update, or a
// file phase carried by an update worker and watched by the completion waiter.
// The engine reaches the progress window only by posting messages to it.

#include "check_ahead.h"
#include "finishing_line.h"
#include "held_files.h"
#include "kept_version.h"
#include "launcher_config.h"
#include "prepared_update.h"
#include "signature.h"
#include "stdio_stream.h"
#include "strong_digests.h"
#include "update_thread.h"
#include "version_info.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Why the server's release cannot be judged: which record failed and how. A run
// shows its text for the record; a check answers with the reason.
enum class release_fault {
    master_not_received,
    // The network's proxy wants a sign-in that was not given.
    proxy_sign_in,
    master_refused,
    master_expired,
    master_damaged,
    master_without_version,
    older_version,
    record_not_received,
    record_refused,
    record_damaged,
};

// What a start would do in this installation: keep the installed version (current),
// take the server's (available), take it from what a prepare staged (prepared), or
// nothing for a fault.
struct release_check {
    enum class outcome { current, available, prepared, failed };
    outcome result;
    std::int32_t version = 0;
    release_fault fault = release_fault::master_not_received;
};

class CUpdater : public update_host {
  public:
    CUpdater();
    virtual ~CUpdater();
    CUpdater(const CUpdater&) = delete;
    CUpdater& operator=(const CUpdater&) = delete;

    // Derives the installation paths from the running executable and starts the
    // run on run_thread. Throws std::system_error when no thread can be created.
    void start(const std::string& url);
    // The same with the executable's full path given.
    void start_at(const std::string& url, const std::wstring& executable_path);
    // The whole decision sequence of one launcher start; runs on run_thread.
    void run();
    // The run's judgement of the server's records for the installation of the
    // executable, on the calling thread, without a window and without writing
    // anything in the installation.
    release_check check_release(const std::string& url, const std::wstring& executable_path);
    // Stages every file that the next start would change, without touching the
    // installation (prepared_update.h); on the calling thread, one file at a time.
    // `rate_cap_kib`: the most KiB per second it reads, 0 for no cap.
    prepare_outcome prepare_release(const std::string& url, const std::wstring& executable_path,
                                    std::uint32_t rate_cap_kib);

    // Shut-down, in this order: abort, end every transfer of the engine (a download
    // in progress fails at once), stop the workers, join the run thread. shut_down
    // does all four.
    void shut_down();
    void request_abort();
    void end_transfers();
    void stop_workers();
    // Joins the thread in run_thread, and the completion waiter if the run handed
    // the slot over meanwhile; afterwards no thread of the engine runs.
    void join_run_thread();

    // Posting operations; the engine's threads reach the window only through these.
    void set_info_text(const std::string& text);
    void set_title_text(const std::string& text);
    void publish_release_notes(const std::string& text, bool show_now);
    // Only the first error is recorded and shown; it also sets abort_requested.
    void report_error(const std::string& text, LPARAM string_id);
    bool error_reported();
    // Posts the percentage unless it equals the last one posted in this process.
    void post_progress(unsigned percentage);

    // The file phase, on the worker thread. An exception that ends it, or a finishing
    // job, is reported as that file's failed download (or, with no file, as a failed
    // update), so the run ends as after any other failure.
    void update_files(CFileTransfer* transfer) override;
    file_info* take_next_file();
    void mark_file_done(file_info* entry);
    void add_received_bytes(std::int64_t count) override;
    // Watches the file phase every 200 ms and completes the update.
    void wait_for_completion();
    // Downloads, checks and hands over to a new copy of the launcher.
    void replace_launcher(const file_info& record, CFileTransfer& transfer);

    bool aborted() const { return abort_requested; }
    // The record of the running launcher. Windows names ignore letter case, and the
    // launcher may have been started under another case than the server lists.
    bool is_launcher_record(const file_info& record) const;
    bool is_launcher_name(const std::string& release_name) const;

    std::array<std::shared_ptr<CUpdateThread>, 2> workers;
    std::shared_ptr<std::thread> run_thread;
    std::string base_url;
    std::string info_text;
    std::string title_text;
    std::string error_text;
    std::string release_notes_text;
    HWND window;
    std::deque<file_info*> pending_files;
    std::vector<file_info*> done_files;
    std::mutex updater_lock;
    std::int32_t version_number = 0;
    std::vector<std::string> patch_names;
    std::string install_dir;
    std::string temp_dir;
    std::string file_base_url;
    std::string patch_base_url;
    std::string launcher_name;
    std::string start_app;
    version_info local_info;
    version_info remote_info;
    version_info patch_set;
    // The version's record as the server sent it, with the signature checked with it.
    received_record remote_record;
    std::uint32_t total_files = 0;
    std::uint64_t bytes_received = 0;
    std::atomic<bool> abort_requested{false};
    // The publisher's public key built into the launcher (64 hex digits), or empty.
    // With a key, every record the run trusts must carry the key's signature, and
    // the master record a future expiry and, when the launcher names its product,
    // that product.
    std::string release_key_hex;
    std::string release_product;
    // Takes the key, the product and the health check from the launcher's settings.
    void trust(const launcher_config& settings);

    // With the health check by watching: the seconds to watch the application that
    // this run started, or nothing when it is not of a version on trial.
    std::optional<std::chrono::seconds> start_to_watch() const;
    // The watched start's end (its exit code) or none (still running at the limit).
    // True when the version's tries are used up: a start must put the previous back.
    bool record_watched_start(std::optional<std::uint32_t> exit_code);
    // A silent run (no window, no application start) also makes the launcher that a
    // self-update restarts silent.
    bool silent = false;

  protected:
    // The files and addresses of one entry's update.
    struct entry_paths {
        std::string local; // L: the installed file
        std::string work;  // W: the download, whole file or patch
        std::string fresh; // N: W + ".<process>.new", the patched or unpacked file
        std::string file_url;
        std::string patch_url;
    };

    // The downloaded file's unpacking and check, on the finishing line beside other
    // files'; hands back the step that moves it into place, in the records' order. A
    // test makes it throw, as an allocation failure would.
    virtual finishing_line::finish_step finish_download(file_info& entry, const entry_paths& paths,
                                                        held_file_pauses pauses);

  private:
    enum class patch_outcome { applied, failed, aborted };
    enum class download_check { good, unpack_failed, wrong_digest };
    download_check check_download(const file_info& entry, const entry_paths& paths);
    // Reports what the check found, or moves the file into place.
    void install_checked_download(file_info& entry, const entry_paths& paths,
                                  held_file_pauses& pauses, download_check checked);
    struct file_phase_state;

    // Sleeps for the duration; returns early, with true, when the run is aborted.
    bool sleep_unless_aborted(std::chrono::milliseconds duration);
    // The wait between two tries on a held file: it ends, giving up, when the run is
    // aborted, so that Cancel never waits for another program.
    held_file_wait pause_unless_aborted();
    // The waiter's pause between two polls, which also ends when the last file is done.
    void wait_for_next_poll();
    void wake(bool files_done);
    void retire_run_thread_and_start_waiter();
    // Posts UM_RUN_ENDED when the calling thread is the engine's last one.
    void end_thread(bool waiter);

    void set_paths(const std::string& url, const std::wstring& executable_path);
    // The trusted master record, the installed record (its stream stays open in
    // `local_stream`) and the version's record; nothing when all are usable.
    std::optional<release_fault> read_release(CFileTransfer& transfer, master_record& master,
                                              stdio_stream& local_stream);
    std::optional<release_fault> read_master_record(CFileTransfer& transfer, master_record& master);
    std::optional<release_fault> read_strong_digests(CFileTransfer& transfer);
    bool read_patch_strong_digests(CFileTransfer& transfer);
    // With release keys, the SHA-256 that the signed records give for a file as
    // installed, or for its patch as served; one that no file has when they give
    // none. Nothing without keys.
    std::optional<sha256_digest> required_strong_digest(const file_info& entry, bool patch) const;
    // True when the file has the record's MD5 and the SHA-256, if one is required,
    // both taken in one read.
    bool has_digests(const std::string& path, const file_info& record,
                     const std::optional<sha256_digest>& strong) const;
    // False, logged with both digests, when a required SHA-256 differs.
    bool strong_digest_agrees(const std::string& path, const std::optional<sha256_digest>& required,
                              const sha256_digest& actual) const;
    stdio_stream read_local_info();
    // True when this start stays at the installed version.
    bool keeps_installed_version(const master_record& master, bool same_version);
    // True when a phased rollout leaves this installation at its version for now.
    bool waits_for_rollout(const master_record& master);
    std::optional<std::string> rollout_identity();
    bool installed_start_app_listed() const;
    // False when a file of the installed record is missing or has another size.
    bool installed_files_present(bool same_version);
    void run_without_update(const std::string& notes, bool same_version);
    void run_update(CFileTransfer& transfer, const std::string& notes, bool show_notes,
                    stdio_stream& local_stream);
    bool load_patch_sets(CFileTransfer& transfer);
    // The patch tool, written out at the top of the work directory.
    std::string patch_tool_path() const;
    bool write_patch_tool();
    bool queue_files(CFileTransfer& transfer);
    std::string start_command() const;

    entry_paths paths_for(const file_info& entry) const;
    void show_check_of(const file_info& entry);
    std::vector<file_info*> pending_snapshot();
    std::vector<check_item> check_items(const std::vector<file_info*>& entries) const;
    // The file loop; `current` names the entry in hand.
    void update_each_file(CFileTransfer& transfer, const file_info*& current);
    void report_download_failure(const file_info& entry);
    // Reports the exception being handled, which ended `where` (with the entry it had
    // in hand, or none), and aborts the run.
    void report_unexpected_error(const char* where, const file_info* entry) noexcept;
    // `local`: the record of the installed file, computed when the entry was taken.
    bool update_entry(file_info& entry, std::size_t position, const file_info& local,
                      CFileTransfer& transfer, finishing_line& finishing);
    bool patch_mode_on();
    // Ends patch mode at the entry in this position of the records' order.
    void end_patch_mode(std::size_t position);
    bool patch_before_any_failure(std::size_t position);
    finishing_line::job finishing_job(file_info& entry,
                                      std::function<finishing_line::finish_step()> work,
                                      std::uint64_t bytes, std::uint64_t memory);
    bool patch_applies(const file_info& local, const file_info& entry);
    // The patch tool's command line: the installed file, patched with the work file
    // into the fresh one.
    std::string patch_command(const entry_paths& paths) const;
    patch_outcome try_patch(file_info& entry, std::size_t position, const entry_paths& paths,
                            CFileTransfer& transfer, held_file_pauses& pauses,
                            finishing_line& finishing);
    // The patch tool's own memory, counted in the finishing line's budget: it streams
    // the files through buffers of a fixed size.
    static constexpr std::uint64_t patch_tool_memory = 20 * 1024 * 1024;
    finishing_line::finish_step finish_patch(file_info& entry, std::size_t position,
                                             const entry_paths& paths, held_file_pauses pauses);
    bool apply_patch(const file_info& entry, const entry_paths& paths);
    // Moves the patched file into place, or downloads the whole file instead.
    void install_patched_file(file_info& entry, std::size_t position, const entry_paths& paths,
                              held_file_pauses& pauses, bool patched);
    // Downloads the whole file in a finish step, checks it and moves it into place.
    void download_in_order(file_info& entry, const entry_paths& paths, held_file_pauses& pauses);
    // The position of the first entry whose patch failed, in the records' order.
    std::size_t first_failed_patch = SIZE_MAX;
    bool download_whole_file(file_info& entry, const entry_paths& paths, CFileTransfer& transfer,
                             held_file_pauses pauses, finishing_line& finishing);
    // Moves a checked file over the installed one (move_into_place), keeping the
    // installed copy first while a trial keeps the previous version; the system error.
    DWORD move_over_installed_file(const std::string& name, const std::string& source,
                                   const std::string& target, held_file_pauses& pauses);
    file_phase_state file_phase_snapshot();
    // True when the prepared marker holds the server's record of this version and
    // each of its files is staged or installed at its size.
    bool prepared_release_present();
    // Moves a staged file of the record's size and digest over `target`; a staged
    // file that does not match is removed.
    bool takes_prepared_file(const file_info& entry, const std::string& target,
                             held_file_pauses& pauses);
    bool move_prepared_file(const file_info& entry, const std::string& target,
                            held_file_pauses& pauses);
    finishing_line::job prepared_file_job(file_info& entry, const entry_paths& paths,
                                          held_file_pauses pauses);
    std::string prepared_path(const std::string& name) const;
    bool staged_file_matches(const std::string& path, const file_info& entry) const;
    enum class staging { current, staged, failed };
    staging stage_entry(const file_info& entry);
    bool stage_download(const file_info& entry, const entry_paths& paths,
                        const std::string& staged);
    bool stage_downloaded(const file_info& entry, const entry_paths& paths,
                          const std::string& staged);
    bool stage_patched(const file_info& entry, const entry_paths& paths, const std::string& staged);
    void keep_only_staged(const std::vector<std::string>& names);
    void remove_prepared_marker();
    bool write_prepared_marker();
    void complete_update();
    void store_installed_version();

    // A release's trial (release_trial.h, trial_run.cpp).
    // At a start: removes the kept files of a version that proved good, or puts the
    // previous version back and starts it; true when it did the latter.
    bool restores_failed_release(CFileTransfer& transfer);
    void restore_previous_version(trial_state trial, CFileTransfer& transfer);
    void report_restore(std::int32_t version, CFileTransfer& transfer);
    // Before the file phase: the installed version is kept from here on.
    bool begin_trial();
    // True when the installation refuses the master record's version; the start
    // then runs the installed version's application.
    bool refuses_offered_version();
    // Before the application starts: a version on trial that must confirm counts
    // the start as a try, and the installed version's application is noted.
    void note_application_start();

    health_check health;
    std::unique_ptr<kept_version> kept;
    // Set once the trial is stored: every file replaced from then on is kept first.
    bool keeping = false;
    void remove_work_directory();

    key_ring release_keys;
    // With keys: the SHA-256 of every file of the version, and of every patch of the
    // patch set in use.
    strong_digest_record strong_digests;
    strong_digest_record patch_strong_digests;
    // A check reads only: it keeps a damaged installed record and makes no identity.
    bool read_only = false;
    // The run's own downloads: the records, the release notes and a new launcher.
    CFileTransfer control_transfer;
    std::mutex text_lock;
    // Wakes the sleeps of the run and of the waiter.
    std::mutex wake_lock;
    std::condition_variable wake_signal;
    bool every_file_done = false;
    bool waiter_started = false;
    // When the worker last posted the name of a file it checks.
    std::chrono::steady_clock::time_point last_check_text_posted{};
    std::vector<std::shared_ptr<std::thread>> retired_threads;
};

// The share of entries done, rounded down; 0 while nothing is queued.
unsigned progress_percentage(std::size_t done, std::uint32_t total);
