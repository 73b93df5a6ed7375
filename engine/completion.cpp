// The completion waiter: watches the file phase from its own thread and, once every
// queued file is done, records the new version and hands the application's start
// to the window.

#include "update_engine.h"

#include "file_helpers.h"
#include "installation_layout.h"
#include "logfile.h"
#include "ui_texts.h"
#include "updater_ui.h"

struct CUpdater::file_phase_state {
    bool queue_empty;
    std::size_t done;
    std::uint32_t total;
    std::uint64_t bytes;
};

CUpdater::file_phase_state CUpdater::file_phase_snapshot() {
    const std::lock_guard guard(updater_lock);
    return {pending_files.empty(), done_files.size(), total_files, bytes_received};
}

void CUpdater::wait_for_completion() {
    std::uint64_t last_bytes = 0;
    unsigned last_percentage = 0;
    for (;;) {
        if (abort_requested)
            return;
        wait_for_next_poll();
        if (abort_requested)
            return;
        const file_phase_state state = file_phase_snapshot();
        if (state.bytes != last_bytes) {
            last_bytes = state.bytes;
            post_byte_count(window, state.bytes);
        }
        if (!state.queue_empty) {
            const unsigned percentage = progress_percentage(state.done, state.total);
            if (percentage != last_percentage) {
                last_percentage = percentage;
                post_progress(percentage);
            }
        } else if (state.done == state.total) {
            break;
        }
    }
    complete_update();
}

void CUpdater::complete_update() {
    store_installed_version();
    // Cancelled meanwhile (the record may have waited for another program): the next
    // start completes the update.
    if (abort_requested)
        return;
    remove_work_directory();
    post_progress(100);
    set_info_text(ui_text(text_id::files_updated));
    set_title_text(ui_text(text_id::done));
    note_application_start();
    post_string(window, UM_START_APP, start_command());
}

// Written beside the old record and moved over it, so that a crash never leaves a
// damaged record: the next run finds either the old version or the new one. It is
// moved after every installed file, each flushed to the disk before its move, so
// that after a power cut it never names a version whose files were not all written.
void CUpdater::store_installed_version() {
    const std::string path = install_dir + "\\" + installed_record_name;
    const std::string staged = temp_dir + "\\" + installed_record_name + ".part";
    create_directory_path(staged);
    stdio_stream file;
    bool stored = open_file_utf8("wb", file, staged);
    stored = stored && remote_info.write(file.get());
    stored = close_file(file) == 0 && stored;
    held_file_pauses pauses;
    stored =
        stored && move_into_place(staged, path, pauses, pause_unless_aborted()) == ERROR_SUCCESS;
    if (!stored)
        log_error("Could not store the installed version information in " + path);
}

// The application must not wait for a file that another program holds in the work
// directory: after a second in all, what is still held stays for the next update.
void CUpdater::remove_work_directory() {
    constexpr std::chrono::milliseconds longest_wait{1000};
    DeleteDirectory(temp_dir, held_file_pauses(longest_wait), pause_unless_aborted());
    if (GetFileAttributesW(system_path(temp_dir).c_str()) != INVALID_FILE_ATTRIBUTES)
        log_info("Work directory left for the next update: " + temp_dir);
}
