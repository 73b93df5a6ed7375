// The self-update: a launcher that differs from the server's record downloads the
// new copy into the work directory, checks it and hands over to it.

#include "update_engine.h"

#include "file_helpers.h"
#include "logfile.h"
#include "lzma_exports.h"
#include "name_rules.h"
#include "process_start.h"
#include "ui_texts.h"
#include "updater_ui.h"
#include "utf8.h"

namespace {

void show_launcher_error(CUpdater& updater, const char* code) {
    updater.set_info_text(ui_text(text_id::launcher_update_failed, {code}));
}

} // namespace

void CUpdater::replace_launcher(const file_info& record, CFileTransfer& transfer) {
    log_info("Launcher update required");
    post_progress(0);
    set_title_text(ui_text(text_id::launcher_update));
    const bool compressed = (record.flags & file_info::lzma_container_flag) != 0;
    const std::string fresh = temp_dir + "\\" + launcher_name;
    const std::string download = compressed ? fresh + ".lzma" : fresh;
    const std::string target = install_dir + "\\" + launcher_name;

    if (!create_directory_path(download))
        return show_launcher_error(*this, "DIR");
    // A copy from an earlier hand-off whose launcher was ended while creating it stays
    // suspended for good, holding its file.
    clear_path_for_new_file(fresh, pause_unless_aborted());
    held_file_pauses pauses;
    if (!takes_prepared_file(record, fresh, pauses)) {
        if (!download_to_file(download, transfer, file_base_url + url_escaped_name(record.name)))
            return show_launcher_error(*this, "DOWNLOAD");
        if (compressed &&
            LzmaUncompressW(utf8_to_wide(download).c_str(), utf8_to_wide(fresh).c_str()) != 0)
            return show_launcher_error(*this, "LZMA");
    }
    if (!has_digests(fresh, record, required_strong_digest(record, false)))
        return show_launcher_error(*this, "HASH");
    std::string command =
        quoted(fresh) + " update " + quoted(target) + " " + std::to_string(GetCurrentProcessId());
    // A silent run hands its silence on: the restarted launcher shows nothing either.
    if (silent)
        command.append(" ").append(silent_option);
    if (!run_process(command))
        return show_launcher_error(*this, "REPLACE");
    PostMessageW(window, WM_DESTROY, 0, 0);
}
