#pragma once
// What the setup, the removal and the normal run share about an installation
// folder: the launcher's file in it, the installed record and what it lists, the
// product's name, and starting the installed launcher there. Paths are full
// Windows paths without a trailing backslash.

#include "installation_layout.h"
#include "process_start.h"
#include "version_info.h"
#include "win_handles.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

std::wstring own_folder();
std::wstring folder_of(const std::wstring& path);
std::wstring installed_launcher(const std::wstring& folder);
// The path of one of the launcher's own names (installation_layout.h) in the folder.
std::wstring path_in(const std::wstring& folder, const char* name);

// The product's name as Explorer shows it: ProductName of the executable's own
// version block ("Quillomark" when it has none).
std::wstring own_product_name();

// The installation folder of the settings record with its variable expanded; empty
// when the variable is not set.
std::wstring expand_install_dir(const std::string& install_dir);

// The installed record, when there is one and it reads completely.
std::optional<version_info> installed_record(const std::wstring& folder);
bool has_installed_record(const std::wstring& folder);
bool holds_launcher(const std::wstring& folder);
bool path_exists(const std::wstring& path);
// True when the installed record reads and every file it lists is there with its
// listed size: the state a completed run leaves.
bool installation_complete(const std::wstring& folder);

// What the installation takes on the disk in KiB, and its version number (none
// before the first completed run, when only the launcher is there).
struct installation_measure {
    std::optional<std::int32_t> version;
    std::uint32_t kibibytes = 0;
};
installation_measure measure_installation(const std::wstring& folder);

// Copies the file into the work directory beside the target (where no release file
// lies) and moves it over the target in one step, its data flushed first, so the
// target is never left half-written. A work directory that was made for it and is
// empty again is removed.
bool copy_into_place(const std::wstring& source, const std::wstring& target);

// Starts the command line with this folder as its current directory; false when
// it could not be started. The second form waits until the program and every
// program it started in turn (a self-update's hand-off) have ended.
bool start_in_folder(std::wstring command_line, const std::wstring& folder);
bool run_to_end_in_folder(std::wstring command_line, const std::wstring& folder);

// The process of a launcher that is to end before its file is replaced or removed,
// by its id in decimal text; none when it has ended or the id now names another
// program than `launcher_path` (an id may be reused once a process ended).
kernel_handle open_launcher_process(const wchar_t* process_id, const wchar_t* launcher_path);

std::wstring quoted(const std::wstring& path);
// The command line's word for a silent run, setup or removal, when `silent`.
std::wstring silent_suffix(bool silent);
bool is_silent_option(const wchar_t* word);

// The names of the files (not folders) in `folder` that match `pattern` ("*.lnk").
std::vector<std::wstring> names_in(const std::wstring& folder, const std::wstring& pattern);

// True when the folder holds nothing at all, or is not there.
bool is_empty_or_missing(const std::wstring& folder);
