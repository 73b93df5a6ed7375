#pragma once
// A release on trial. A launcher stamped with a health check keeps the installed
// copy of every file that an update replaces, with the installed record, in a folder
// of its own until the new version has started well; after too many failed starts
// it puts them back and refuses that version from then on.
//
// The trial's state lies in the kept folder (installation_layout.h), UTF-8 text:
//   quillomark trial 1
//   version <N>                the version being installed, then on trial
//   previous <M>               the version whose files are kept
//   tries <T>                  starts of N that did not prove good
//   state installing|healthy|restoring
//   startapp <name>            what the installation started at M, started again
//                              when M is put back
// The kept folder always holds copies of M's files as M installed them, whatever
// happened to the update since: a file is kept only once. Version N is on trial
// while the state says installing and the installed record names N.
//
// Portable: the launcher reads and writes it, the tests read it back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How a launcher learns that its application started well (stamped by the
// publisher, settings record lines health=, health_tries=, health_report=).
struct health_check {
    enum class way { off, confirm, watch };
    way how = way::off;
    // watch: the seconds the launcher watches the started application.
    int watch_seconds = 0;
    // Failed starts of a version before its previous one is put back.
    int tries = 2;
    // After a restore, one request tells the publisher's server of it.
    bool report = false;
    bool operator==(const health_check&) const = default;
};

constexpr int shortest_watch_seconds = 5;
constexpr int longest_watch_seconds = 300;
constexpr int default_health_tries = 2;
constexpr int most_health_tries = 5;

// "confirm" or "watch=S"; nothing for any other text.
std::optional<health_check> parse_health_way(std::string_view text);
std::string health_way_text(const health_check& health);
// A whole number from 1 to 5.
std::optional<int> parse_health_tries(std::string_view text);

struct trial_state {
    enum class phase { installing, healthy, restoring };
    std::int32_t version = 0;
    std::int32_t previous = 0;
    int tries = 0;
    phase state = phase::installing;
    std::string previous_start_app = {};
    bool operator==(const trial_state&) const = default;
};

std::string format_trial_state(const trial_state& trial);
// Nothing for any text that is not exactly such a state.
std::optional<trial_state> parse_trial_state(std::string_view text);

// An application that ended by an exception: its exit code is an NTSTATUS error
// (0xC0000000 and above), as Windows sets it for an unhandled access violation.
constexpr bool ended_by_exception(std::uint32_t exit_code) {
    return exit_code >= 0xC0000000u;
}

// The trial to write before the first file of an update to `target` is replaced,
// with `installed` the installed record's version, given the trial found (if any).
// It goes on with the kept files when they still are the installed version's (an
// update that was cut off, or whose target changed meanwhile); otherwise the kept
// folder must be emptied first (`fresh`), since only the last version is kept.
struct trial_start {
    trial_state trial;
    bool fresh;
    bool operator==(const trial_start&) const = default;
};
trial_start start_trial(const std::optional<trial_state>& found, std::int32_t installed,
                        std::int32_t target, const std::string& installed_start_app);

// What a start of the launcher does first, given the trial found and the installed
// record's version.
enum class trial_step {
    none,     // no trial: as without a health check
    clean_up, // the version proved good: the kept files go
    go_on,    // on trial, tries left (or an update still in progress)
    restore,  // on trial with its tries used up, or a restore to finish
};
trial_step step_at_start(const std::optional<trial_state>& found, std::int32_t installed,
                         const health_check& health);

// The refused version's file: one version number and a line break.
std::string format_refused_version(std::int32_t version);
std::optional<std::int32_t> parse_refused_version(std::string_view text);
