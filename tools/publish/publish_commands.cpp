#include "publish_commands.h"

#include "byte_files.h"
#include "container_memory.h"
#include "name_rules.h"
#include "patch_maker.h"
#include "progress.h"
#include "publish_errors.h"
#include "source_scan.h"
#include "tree_layout.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <numeric>

namespace {

// auto: a container is used when it saves at least 5 %.
bool worth_compressing(compress_mode mode, std::size_t plain, std::size_t coded) {
    return mode == compress_mode::all ||
           (mode == compress_mode::automatic && coded * 100 <= plain * 95);
}

void write_below(const fs::path& directory, const std::string& name,
                 std::span<const unsigned char> content) {
    const fs::path target = path_of_name(directory, name);
    fs::create_directories(target.parent_path());
    write_whole_file(target, content);
}

file_info make_record(const std::string& name, std::span<const unsigned char> stored,
                      const digest_bytes& digest, std::uint8_t flags) {
    file_info record;
    record.name = name;
    record.size = static_cast<std::int32_t>(stored.size());
    record.flags = flags;
    record.digest = digest;
    return record;
}

// The installed content of a version's file, as a launcher would unpack it.
bytes installed_content(const fs::path& version_dir, const file_info& record) {
    const bytes stored = read_whole_file(path_of_name(version_dir, record.name));
    if (!(record.flags & file_info::lzma_container_flag))
        return stored;
    auto decoded = decode_container(stored);
    if (!decoded)
        throw publish_failure(path_of_name(version_dir, record.name).string() +
                              " is not a valid LZMA container");
    return std::move(*decoded);
}

std::uint64_t total_size(const std::vector<source_file>& files) {
    return std::accumulate(
        files.begin(), files.end(), std::uint64_t{0},
        [](std::uint64_t sum, const source_file& file) { return sum + file.size; });
}

void check_version_exists(const fs::path& tree, std::int32_t version) {
    if (!fs::is_directory(tree / std::to_string(version)))
        throw bad_input("version " + std::to_string(version) + " is not in " + tree.string());
}

std::vector<std::string> patch_sets_to(const fs::path& tree, std::int32_t version,
                                       const std::optional<std::vector<std::string>>& listed) {
    if (!listed) {
        std::vector<std::string> names;
        for (const auto& set : patch_sets_in(tree))
            if (set.to == version)
                names.push_back(set.text());
        return names;
    }
    for (const auto& name : *listed) {
        const auto set = parse_patch_set_name(name);
        if (!set || set->to != version || set->text() != name)
            throw bad_input("\"" + name + "\" is not a patch set leading to version " +
                            std::to_string(version));
        if (!fs::is_directory(tree / name))
            throw bad_input("patch set " + name + " is not in " + tree.string());
    }
    return *listed;
}

} // namespace

std::string record_name_of(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

publish_summary publish_version(const version_options& options) {
    const auto files = scan_source(options.source, options.skip_empty);
    const bytes notes = options.notes ? read_whole_file(*options.notes) : bytes{};
    const fs::path target = options.tree / std::to_string(options.version);
    fs::create_directories(options.tree);
    refuse_existing(target);

    staged_directory staging(target);
    version_info info(version_info::standard_magic, version_info::standard_format);
    info.version = options.version;
    publish_summary summary;
    progress_meter progress("version " + std::to_string(options.version), files.size(),
                            total_size(files));
    for (const auto& file : files) {
        const bytes content = read_whole_file(file.path);
        bytes stored =
            options.compress == compress_mode::none ? bytes{} : encode_container(content);
        const bool compressed = worth_compressing(options.compress, content.size(), stored.size());
        if (!compressed)
            stored = content;
        write_below(staging.path(), file.name, stored);
        info.files.push_back(std::make_unique<file_info>(
            make_record(file.name, content, digest_of(content), compressed)));
        ++summary.files;
        summary.compressed += compressed;
        summary.stored_bytes += stored.size();
        progress.advance(content.size());
    }
    write_version_file(staging.path() / version_file_name, info);
    write_whole_file(staging.path() / notes_file_name, notes);
    staging.commit();
    return summary;
}

publish_summary publish_patch_set(const patch_options& options) {
    if (options.from == options.to)
        throw bad_input("--from and --to name the same version");
    check_version_exists(options.tree, options.from);
    check_version_exists(options.tree, options.to);
    const fs::path old_dir = options.tree / std::to_string(options.from);
    const fs::path new_dir = options.tree / std::to_string(options.to);
    const version_info old_info = read_version_file(old_dir / version_file_name);
    const version_info new_info = read_version_file(new_dir / version_file_name);
    const fs::path target = options.tree / patch_set_name{options.from, options.to}.text();
    refuse_existing(target);

    std::vector<std::pair<const file_info*, const file_info*>> changed;
    for (const auto& record : new_info.files)
        if (const file_info* old = old_info.find(record->name);
            old && !digests_equal(*old, *record))
            changed.emplace_back(old, record.get());

    staged_directory staging(target);
    version_info patches(version_info::standard_magic, version_info::standard_format);
    patches.version = options.to;
    publish_summary summary;
    progress_meter progress("patch set " + target.filename().string(), changed.size(),
                            std::accumulate(changed.begin(), changed.end(), std::uint64_t{0},
                                            [](std::uint64_t sum, const auto& pair) {
                                                return sum + std::uint64_t(pair.second->size);
                                            }));
    for (const auto& [old_record, new_record] : changed) {
        const bytes old_content = installed_content(old_dir, *old_record);
        const bytes new_content = installed_content(new_dir, *new_record);
        const bytes patch = make_patch(old_content, new_content);
        const auto proof = apply_patch_bytes(old_content, patch);
        if (!proof || digest_of(*proof) != new_record->digest)
            throw publish_failure("the patch for \"" + new_record->name +
                                  "\" does not reproduce the file");
        const auto whole_size = fs::file_size(path_of_name(new_dir, new_record->name));
        if (patch.size() < whole_size) {
            write_below(staging.path(), new_record->name, patch);
            patches.files.push_back(std::make_unique<file_info>(
                make_record(new_record->name, patch, digest_of(patch), 0)));
            ++summary.files;
            summary.stored_bytes += patch.size();
        } else {
            ++summary.left_out;
        }
        progress.advance(std::uint64_t(new_record->size));
    }
    write_version_file(staging.path() / version_file_name, patches);
    staging.commit();
    return summary;
}

void publish_master(const master_options& options) {
    check_version_exists(options.tree, options.version);
    const version_info info =
        read_version_file(options.tree / std::to_string(options.version) / version_file_name);
    const std::string startapp = record_name_of(options.startapp);
    if (!is_safe_relative_name(startapp) || !info.find(startapp))
        throw bad_input("--startapp \"" + options.startapp + "\" is not a file of version " +
                        std::to_string(options.version));
    std::string patches;
    for (const auto& name : patch_sets_to(options.tree, options.version, options.patches))
        patches += (patches.empty() ? "" : ",") + name;
    replace_file(options.tree / master_file_name,
                 "version=" + std::to_string(options.version) + "$patches=" + patches +
                     "$startapp=" + startapp +
                     "$force_releasenotes=" + (options.force_notes ? "1" : "0"));
}

std::int32_t publish_release(const release_options& options) {
    const auto files = scan_source(options.version.source, options.version.skip_empty);
    const std::string startapp = record_name_of(options.startapp);
    if (std::none_of(files.begin(), files.end(),
                     [&](const source_file& file) { return file.name == startapp; }))
        throw bad_input("--startapp \"" + options.startapp + "\" is not a file of " +
                        options.version.source.string());
    const auto earlier = versions_in(options.version.tree);
    version_options version = options.version;
    version.version = earlier.empty() ? 1 : earlier.back() + 1;
    if (!earlier.empty() && earlier.back() == std::numeric_limits<std::int32_t>::max())
        throw bad_input("the tree holds the highest possible version number");
    publish_version(version);

    const auto keep = std::min<std::size_t>(std::size_t(options.keep_patches), earlier.size());
    for (auto from = earlier.end() - std::ptrdiff_t(keep); from != earlier.end(); ++from)
        publish_patch_set({version.tree, *from, version.version});
    publish_master({version.tree, version.version, startapp, std::nullopt, options.force_notes});
    return version.version;
}
