// quillomark-publish revert: a bad release taken back by publishing the files of an
// earlier version again, as the next version.

#include "publish_commands.h"

#include "file_info.h"
#include "lzma_files.h"
#include "publish_errors.h"
#include "signature.h"
#include "tree_layout.h"

#include <algorithm>
#include <unistd.h>

namespace {

// Version `to`'s file as it was installed: copied, or unpacked from its container,
// and checked against its record, so that a damaged tree is never signed again.
void take_file(const fs::path& version_dir, const file_info& record, const fs::path& folder) {
    const fs::path stored = path_of_name(version_dir, record.name);
    const fs::path target = path_of_name(folder, record.name);
    fs::create_directories(target.parent_path());
    if (record.flags & file_info::lzma_container_flag) {
        if (decompress_container_file(stored.c_str(), target.c_str()) != lzma_ok)
            throw bad_input(stored.string() + " is not a complete LZMA container");
    } else {
        fs::copy_file(stored, target);
    }
    if (!digests_equal(make_file_info(record.name, target.string()), record))
        throw bad_input(stored.string() + " does not hold the file that its record names");
}

std::string revert_startapp(const revert_options& options, const version_info& files) {
    const auto startapp =
        options.startapp ? options.startapp : current_master_value(options.tree, "startapp");
    if (!startapp || !files.find(record_name_of(*startapp)))
        throw bad_input("version " + std::to_string(options.to) +
                        " does not hold the current startapp; give --startapp");
    return *startapp;
}

} // namespace

std::int32_t publish_revert(const revert_options& options) {
    const auto versions = versions_in(options.tree);
    if (std::find(versions.begin(), versions.end(), options.to) == versions.end())
        throw bad_input("--to " + std::to_string(options.to) + ": " + options.tree.string() +
                        " holds no such version");
    if (options.to == versions.back())
        throw bad_input("--to " + std::to_string(options.to) + " is the current version");
    const fs::path version_dir = options.tree / std::to_string(options.to);
    const version_info files = read_version_file(version_dir / version_file_name);
    const std::string startapp = revert_startapp(options, files);
    // Staged beside the system's temporary files and never committed: removed on return.
    const staged_directory folder(fs::temp_directory_path() /
                                  ("quillomark-revert-" + std::to_string(getpid())));
    for (const auto& record : files.files)
        take_file(version_dir, *record, folder.path());
    const fs::path notes = version_dir / notes_file_name;
    return publish_release({{folder.path(), options.tree, 0, compress_mode::automatic,
                             fs::exists(notes) ? std::optional(notes) : std::nullopt, false,
                             options.signer, std::nullopt},
                            startapp,
                            options.keep_patches,
                            false,
                            options.expires,
                            options.rollout,
                            options.diff_memory,
                            std::nullopt});
}
