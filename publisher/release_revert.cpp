// quillomark-publish revert: a bad release taken back by publishing the files of an
// earlier version again, as the next version.

#include "publish_commands.h"

#include "file_info.h"
#include "launcher_stamp.h"
#include "lzma_files.h"
#include "publish_errors.h"
#include "publish_platform.h"
#include "signature.h"
#include "strong_digests.h"
#include "tree_layout.h"

#include <algorithm>

namespace {

// A version's SHA-256 record; none in an unsigned tree or one signed before there
// were such records.
std::optional<strong_digest_record> strong_digests_in(const fs::path& version_dir) {
    const fs::path path = version_dir / strong_digest_file_name;
    if (!fs::exists(path))
        return std::nullopt;
    const bytes content = read_whole_file(path);
    auto record =
        parse_strong_digests({reinterpret_cast<const char*>(content.data()), content.size()});
    if (!record)
        throw bad_input(path.string() + " is damaged");
    return record;
}

bool matches_strong_digest(const std::optional<strong_digest_record>& strong_digests,
                           const file_info& record, const fs::path& file) {
    if (!strong_digests)
        return true;
    const sha256_digest* listed =
        strong_digests->find(strong_digest_record::kind::file, record.name);
    return listed && *listed == strong_digest_of(read_whole_file(file));
}

// A version's file as it was installed: copied, or unpacked from its container, and
// checked against its records, so that a damaged tree is never signed again.
void take_file(const fs::path& version_dir, const file_info& record,
               const std::optional<strong_digest_record>& strong_digests, const fs::path& folder) {
    const fs::path stored = path_of_name(version_dir, record.name);
    const fs::path target = path_of_name(folder, record.name);
    fs::create_directories(target.parent_path());
    if (record.flags & file_info::lzma_container_flag) {
        if (decompress_container_file(stored.string().c_str(), target.string().c_str()) != lzma_ok)
            throw bad_input(stored.string() + " is not a complete LZMA container");
    } else {
        fs::copy_file(stored, target);
    }
    if (!digests_equal(make_file_info(record.name, target.string()), record))
        throw bad_input(stored.string() + " does not hold the file that its record names");
    if (!matches_strong_digest(strong_digests, record, target))
        throw bad_input(stored.string() + " does not hold the file that its SHA-256 record (" +
                        strong_digest_file_name + ") names");
}

// The current version's launcher, if it has one: the installations hand over to it
// already, and it holds the keys they take releases with now, where an earlier
// version's launcher may hold keys since retired, or none.
void take_current_launcher(const fs::path& tree, std::int32_t current, const signer_ref& signer,
                           const fs::path& folder) {
    const fs::path current_dir = tree / std::to_string(current);
    const version_info files = read_version_file(current_dir / version_file_name);
    const auto launcher =
        std::find_if(files.files.begin(), files.files.end(),
                     [](const auto& record) { return is_installed_launcher_name(record->name); });
    if (launcher == files.files.end())
        return;
    take_file(current_dir, **launcher, strong_digests_in(current_dir), folder);
    check_launcher_takes("the launcher " + (*launcher)->name + " of version " +
                             std::to_string(current),
                         path_of_name(folder, (*launcher)->name), signer);
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
                                  ("quillomark-revert-" + std::to_string(process_id())));
    const auto strong_digests = strong_digests_in(version_dir);
    for (const auto& record : files.files)
        if (!is_installed_launcher_name(record->name))
            take_file(version_dir, *record, strong_digests, folder.path());
    if (!options.launcher)
        take_current_launcher(options.tree, versions.back(), options.signer, folder.path());
    const fs::path notes = version_dir / notes_file_name;
    return publish_release({{folder.path(), options.tree, 0, compress_mode::automatic,
                             fs::exists(notes) ? std::optional(notes) : std::nullopt, false,
                             options.signer, options.launcher},
                            startapp,
                            options.keep_patches,
                            false,
                            options.expires,
                            options.rollout,
                            options.diff_memory,
                            std::nullopt});
}
