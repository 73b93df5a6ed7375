#pragma once
// The names the launcher itself gives to what it keeps in an installation folder,
// beside the files of the release. A release never ships them (the publisher leaves
// them out), and a removal takes them away with the release's files.

constexpr const char* installed_record_name = "versioninfo.vif";
constexpr const char* log_file_name = "ezo.log";
// The log of a check (--check) and of a prepare (--prepare), so that the last update run's log is
// kept.
constexpr const char* prepare_log_file_name = "ezo-prepare.log";
// The installation's random identity for phased rollouts (rollout.h).
constexpr const char* identity_file_name = "quillomark.id";
// The work directory: downloads, patches and the launcher's own work files. It is
// removed after every completed update, so it must belong to the installation alone.
constexpr const char* work_directory_name = "Temp";
// The release's work files lie in a folder of their own in the work directory: any
// release name could otherwise meet one of the launcher's own work files at its top
// (the patch tool, a new copy of the launcher, the staged record).
constexpr const char* release_work_folder_name = "files";
// While a new version is on trial, the previous version's files that it replaced,
// the previous installed record and the trial's state (release_trial.h).
constexpr const char* kept_folder_name = "quillomark.previous";
constexpr const char* kept_files_folder_name = "files";
constexpr const char* kept_names_file_name = "names";
constexpr const char* trial_file_name = "trial";
// The version put back after failed starts, which the installation refuses then.
constexpr const char* refused_version_file_name = "quillomark.refused";
// The application that the installed version starts, noted while a health check
// is stamped: a version put back starts its own again.
constexpr const char* start_app_file_name = "quillomark.startapp";
// The name a setup installs the launcher under.
constexpr const char* installed_launcher_file_name = "quillomark.exe";
