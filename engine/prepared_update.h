#pragma once
// An update prepared in the background (quillomark.exe --prepare): every file that
// the next start would change is downloaded, patched or unpacked in the work
// directory, checked by its digest, flushed and staged in its "prepared" folder
// under its release name, while the application runs and holds its files. Nothing
// installed is touched. A marker is written last: the version's record as the
// server sent it ("prepared.vif"), beside its detached signature when the tree is
// signed. The next start takes each staged file whose size and digest match the
// record, whether the prepare finished or not, and downloads only the rest.

#include <optional>
#include <string>

// A prepare's end: the files are staged (prepared), the installation is current or
// waits for a phased rollout (nothing_to_prepare), a start of the launcher asked it
// to stop (stopped), or a file or record could not be had (failed). What was
// completed stays staged for the next prepare and the next start.
enum class prepare_outcome { prepared, nothing_to_prepare, stopped, failed };

// A control file as the server sent it, and its detached signature when one was checked.
struct received_record {
    std::string bytes;
    std::optional<std::string> signature;
};

// Below the work directory.
constexpr const char* prepared_folder_name = "prepared";
constexpr const char* prepared_marker_name = "prepared.vif";
