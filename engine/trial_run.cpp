// A release's trial in the run: the previous version kept while a new one proves
// itself, put back after too many failed starts, and the version refused then.

#include "update_engine.h"

#include "file_helpers.h"
#include "installation_layout.h"
#include "logfile.h"
#include "ui_texts.h"
#include "updater_ui.h"

#include <cstdlib>

namespace {

constexpr auto restored_text_stays = std::chrono::milliseconds(3000);

std::string version_text(std::int32_t version) {
    return std::to_string(version);
}

} // namespace

bool CUpdater::restores_failed_release(CFileTransfer& transfer) {
    const auto trial = kept->trial();
    switch (step_at_start(trial, kept->installed_version(), health)) {
    case trial_step::none:
    case trial_step::go_on:
        return false;
    case trial_step::clean_up:
        log_info("Version " + version_text(trial->version) + " started well: the kept files of " +
                 "version " + version_text(trial->previous) + " are removed");
        kept->remove();
        return false;
    case trial_step::restore:
        restore_previous_version(*trial, transfer);
        return true;
    }
    return false;
}

// The refusal is stored before any file moves, so that a start after a kill at any
// point neither takes the version again nor leaves the restore half done: it finds
// the state restoring and finishes.
void CUpdater::restore_previous_version(trial_state trial, CFileTransfer& transfer) {
    const std::string failed = version_text(trial.version);
    const std::string previous = version_text(trial.previous);
    log_info("Restore: version " + failed + " did not start after " + std::to_string(trial.tries) +
             " tries; version " + previous + " is put back");
    trial.state = trial_state::phase::restoring;
    held_file_pauses pauses;
    if (!kept->store_trial(trial) || !kept->store_refused_version(trial.version) ||
        !kept->put_back(pauses)) {
        log_error("Restore of version " + previous + " not completed: the next start goes on");
        return report_error(ui_text(text_id::update_failed), IDS_UPDATE_FAILED);
    }
    log_info("Version " + failed + " refused: it is not taken again here");
    kept->remove();
    if (health.report)
        report_restore(trial.version, transfer);
    start_app = trial.previous_start_app;
    note_application_start();
    set_title_text(ui_text(text_id::done));
    set_info_text(ui_text(text_id::release_restored, {failed, previous}));
    post_progress(100);
    // The application starts at once; the window stays a while for its text.
    post_string(window, UM_START_APP, start_command(), restored_text_stays.count());
}

// One request that the publisher's server logs; what it answers does not matter.
void CUpdater::report_restore(std::int32_t version, CFileTransfer& transfer) {
    char* data = nullptr;
    long size = 0;
    if (download_to_memory(transfer, base_url + "health/" + version_text(version) + "/restored",
                           &data, &size) == download_result::received)
        std::free(data);
}

bool CUpdater::begin_trial() {
    if (health.how == health_check::way::off || local_info.version < 1)
        return true;
    const trial_start start = start_trial(kept->trial(), local_info.version, remote_info.version,
                                          kept->start_app().value_or(start_app));
    if (!kept->begin(start)) {
        log_error("The installed version could not be kept in " + install_dir + "\\" +
                  kept_folder_name);
        return false;
    }
    log_info("Trial: version " + version_text(remote_info.version) + " keeps version " +
             version_text(start.trial.previous) + " until it starts well");
    keeping = true;
    return true;
}

bool CUpdater::refuses_offered_version() {
    if (health.how == health_check::way::off || kept->refused_version() != remote_info.version)
        return false;
    log_info("Version " + version_text(remote_info.version) +
             " refused: it did not start here; version " + version_text(local_info.version) +
             " stays");
    start_app = kept->start_app().value_or(start_app);
    return true;
}

void CUpdater::note_application_start() {
    if (health.how == health_check::way::off || silent)
        return;
    kept->note_start_app(start_app);
    auto trial = kept->trial_of_installed();
    if (!trial || health.how != health_check::way::confirm)
        return;
    ++trial->tries;
    log_info("Trial: start " + std::to_string(trial->tries) + " of version " +
             version_text(trial->version) + " without its confirmation");
    kept->store_trial(*trial);
}

std::optional<std::chrono::seconds> CUpdater::start_to_watch() const {
    if (health.how != health_check::way::watch || !kept->trial_of_installed())
        return std::nullopt;
    return std::chrono::seconds(health.watch_seconds);
}

bool CUpdater::record_watched_start(std::optional<std::uint32_t> exit_code) {
    auto trial = kept->trial_of_installed();
    if (!trial)
        return false;
    if (!exit_code || !ended_by_exception(*exit_code)) {
        log_info("Trial: version " + version_text(trial->version) + " started well");
        trial->state = trial_state::phase::healthy;
        if (kept->store_trial(*trial))
            kept->remove();
        return false;
    }
    ++trial->tries;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(*exit_code));
    log_error("Trial: start " + std::to_string(trial->tries) + " of version " +
              version_text(trial->version) + " failed: the application ended with " + code);
    kept->store_trial(*trial);
    return trial->tries >= health.tries;
}
