#pragma once
// The previous version, kept in the installation while a new one is on trial
// (release_trial.h), in the folder kept_folder_name:
//   files\<release name>   the installed copy of each file that the update replaced
//   names                  "kept <name>" or "added <name>" a line, each written and
//                          flushed before the move it announces, so that a restore
//                          after a kill at any point finds every file it must handle
//   versioninfo.vif        the previous installed record, put back last
//   trial                  the trial's state
// Every file is moved, never copied, and each move is flushed (move_into_place).

#include "held_files.h"
#include "release_trial.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

class kept_version {
  public:
    kept_version(std::string install_dir, held_file_wait wait);

    std::optional<trial_state> trial() const;
    // The installed record's version, 0 without a readable record.
    std::int32_t installed_version() const;
    // The trial, when the installed version is the one on trial.
    std::optional<trial_state> trial_of_installed() const;
    // The application said that the version on trial started well (--healthy): the
    // state says so first, then the kept files go, in the background.
    void confirm_healthy();
    bool store_trial(const trial_state& trial) const;
    // Before the first file of an update is replaced: a fresh start empties the
    // folder and keeps the installed record; then the trial is stored.
    bool begin(const trial_start& start);
    // Moves the installed copy of `name` at `target` aside before a new one takes its
    // place, or notes that the file is new; once a name, since only the previous
    // version's copy is kept. The system error, 0 on success.
    DWORD keep(const std::string& name, const std::string& target, held_file_pauses& pauses);
    // Puts the previous version back: every kept file, the added ones removed, the
    // previous record last. False, logged, when a file could not be moved back; a
    // later start tries again, as the state says restoring.
    bool put_back(held_file_pauses& pauses);
    // The whole folder, the trial's state last.
    void remove() const;

    // The application that the installed version starts, as the last start noted it
    // (what the master record names may be another version's).
    std::optional<std::string> start_app() const;
    void note_start_app(const std::string& name) const;

    std::optional<std::int32_t> refused_version() const;
    bool store_refused_version(std::int32_t version) const;

  private:
    std::string in_folder(const std::string& name) const;
    std::string kept_path(const std::string& name) const;
    bool note(std::string_view word, const std::string& name);
    // The names file as it stands: kept and added names.
    void read_names();

    std::string install_dir;
    std::string folder;
    held_file_wait wait;
    std::mutex names_lock;
    std::set<std::string> kept_names;
    std::set<std::string> added_names;
};
