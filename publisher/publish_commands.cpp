#include "publish_commands.h"

#include "byte_files.h"
#include "container_memory.h"
#include "installation_layout.h"
#include "launcher_stamp.h"
#include "name_rules.h"
#include "patch_maker.h"
#include "progress.h"
#include "publish_errors.h"
#include "publish_platform.h"
#include "rollout.h"
#include "source_scan.h"
#include "strong_digests.h"
#include "tree_layout.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <numeric>
#include <thread>

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
    record.size = static_cast<std::uint32_t>(stored.size());
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

void sign_files(const signer_ref& signer, std::initializer_list<fs::path> files) {
    if (signer)
        for (const fs::path& file : files)
            signer->sign_file(file);
}

// A signed directory also names its files by SHA-256, in a record signed like its
// versioninfo.vif.
void write_strong_digests(const signer_ref& signer, const fs::path& directory,
                          const strong_digest_record& digests) {
    if (!signer)
        return;
    write_by_rename(directory / strong_digest_file_name, digests.text());
    signer->sign_file(directory / strong_digest_file_name);
}

// The product a record is made for: the one given, else the one the tree's current
// master record names.
std::optional<std::string> product_for(const fs::path& tree,
                                       const std::optional<std::string>& given) {
    const auto product = given ? given : current_master_value(tree, master_product_key);
    if (product)
        if (const auto fault = product_fault(*product))
            throw bad_input("--product: " + *fault);
    return product;
}

// A SHA-256 record names what it belongs to, so that a record signed for one product
// or version cannot be served for another.
strong_digest_record bound_record(const std::optional<std::string>& product, std::string version) {
    strong_digest_record record;
    if (product)
        record.bind_product(*product);
    record.bind_version(std::move(version));
    return record;
}

using changed_file = std::pair<const file_info*, const file_info*>;

std::uint64_t patch_memory_of(const changed_file& change) {
    return patch_memory_needed(change.first->size, change.second->size);
}

// "3.4 MiB", "51.0 GiB".
std::string memory_text(std::uint64_t count) {
    const bool large = count >= (std::uint64_t{1} << 30);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s",
                  static_cast<double>(count) / static_cast<double>(large ? 1 << 30 : 1 << 20),
                  large ? "GiB" : "MiB");
    return text;
}

// Memory shared by the threads that make patches: a thread takes what its file
// needs, waiting while others hold too much of it, though never while none does.
class memory_budget {
  public:
    explicit memory_budget(std::uint64_t total) : total_(total) {}

    void take(std::uint64_t amount) {
        std::unique_lock guard(lock_);
        returned_.wait(guard, [&] { return taken_ == 0 || taken_ + amount <= total_; });
        taken_ += amount;
    }

    void give_back(std::uint64_t amount) {
        {
            const std::lock_guard guard(lock_);
            taken_ -= amount;
        }
        returned_.notify_all();
    }

  private:
    std::mutex lock_;
    std::condition_variable returned_;
    const std::uint64_t total_;
    std::uint64_t taken_ = 0;
};

// A patch from the old to the new version of a file, proven by applying it.
bytes make_proven_patch(const fs::path& old_dir, const fs::path& new_dir,
                        const changed_file& change) {
    const bytes old_content = installed_content(old_dir, *change.first);
    const bytes new_content = installed_content(new_dir, *change.second);
    bytes patch = make_patch(old_content, new_content);
    const auto proof = apply_patch_bytes(old_content, patch);
    if (!proof || digest_of(*proof) != change.second->digest)
        throw publish_failure("the patch for \"" + change.second->name +
                              "\" does not reproduce the file");
    return patch;
}

// The patches of all changed files, in their order, made on every core (one file
// per thread) as far as the memory budget allows.
std::vector<bytes> make_patches(const fs::path& old_dir, const fs::path& new_dir,
                                const std::vector<changed_file>& changed, std::uint64_t diff_memory,
                                progress_meter& progress) {
    std::vector<bytes> made(changed.size());
    // Largest first, so that no big file starts last while the other cores idle.
    std::vector<std::size_t> order(changed.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return changed[a].second->size > changed[b].second->size;
    });
    std::atomic<std::size_t> next{0};
    std::mutex lock;
    std::exception_ptr failure;
    memory_budget budget(diff_memory);
    const auto work = [&] {
        for (std::size_t taken; (taken = next++) < changed.size();) {
            const std::size_t i = order[taken];
            const std::uint64_t needed = patch_memory_of(changed[i]);
            budget.take(needed);
            try {
                made[i] = make_proven_patch(old_dir, new_dir, changed[i]);
                budget.give_back(needed);
                const std::lock_guard hold(lock);
                progress.advance(std::uint64_t(changed[i].second->size));
            } catch (...) {
                budget.give_back(needed);
                const std::lock_guard hold(lock);
                failure = failure ? failure : std::current_exception();
                next = changed.size();
            }
        }
    };
    {
        const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
        std::vector<std::jthread> workers;
        for (unsigned i = 1; i < std::min<std::size_t>(threads, changed.size()); ++i)
            workers.emplace_back(work);
        work();
    }
    if (failure)
        std::rethrow_exception(failure);
    return made;
}

// Launchers in the field update themselves to the release's launcher, so a file of
// its name must be one that this tool wrote.
void refuse_unstamped_launcher(const std::vector<source_file>& files) {
    for (const auto& file : files) {
        if (!is_installed_launcher_name(file.name))
            continue;
        try {
            launcher_resources(read_whole_file(file.path), file.path.string());
        } catch (const bad_input& error) {
            throw bad_input(std::string(error.what()) +
                            "; a release takes its launcher through --launcher FILE, written by "
                            "quillomark-publish launcher");
        }
    }
}

// A setup's launcher (one with an installation folder) lies in every installation as
// quillomark.exe, whatever the name it is handed out under; another under its own.
std::string published_launcher_name(const fs::path& launcher_file) {
    const launcher_config settings = launcher_settings(
        launcher_resources(read_whole_file(launcher_file), launcher_file.string()));
    return settings.install_dir.empty() ? launcher_file.filename().string()
                                        : installed_launcher_file_name;
}

void put_launcher_in_place_of_namesake(std::vector<source_file>& files,
                                       const fs::path& launcher_file) {
    const std::string name = published_launcher_name(launcher_file);
    std::erase_if(files, [&](const source_file& file) {
        return folded_name(file.name) == folded_name(name);
    });
    const source_file launcher{name, launcher_file, fs::file_size(launcher_file)};
    files.insert(std::upper_bound(
                     files.begin(), files.end(), launcher,
                     [](const source_file& a, const source_file& b) { return a.name < b.name; }),
                 launcher);
}

// The source's files, with the launcher in place of its namesake.
std::vector<source_file> release_files(const version_options& options) {
    auto files = scan_source(options.source, options.skip_empty);
    if (options.launcher)
        put_launcher_in_place_of_namesake(files, *options.launcher);
    refuse_unstamped_launcher(files);
    return files;
}

std::string rollout_piece(int percent) {
    return std::string("$") + rollout_key + "=" + std::to_string(percent);
}

// The record's pieces with every rollout piece set to the share; without one, the
// piece goes before the expiry (where master writes it), or last.
std::string with_rollout(std::string_view record, int percent) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start <= record.size();) {
        const std::size_t dollar = std::min(record.find('$', start), record.size());
        pieces.emplace_back(record.substr(start, dollar - start));
        start = dollar + 1;
    }
    const auto key_of = [](const std::string& piece) { return piece.substr(0, piece.find('=')); };
    const std::string piece = rollout_piece(percent).substr(1);
    bool replaced = false;
    for (std::string& existing : pieces)
        if (key_of(existing) == rollout_key) {
            existing = piece;
            replaced = true;
        }
    if (!replaced)
        pieces.insert(std::find_if(pieces.begin(), pieces.end(),
                                   [&](const std::string& p) { return key_of(p) == expires_key; }),
                      piece);
    std::string joined = pieces.front();
    for (auto next = pieces.begin() + 1; next != pieces.end(); ++next)
        joined += "$" + *next;
    return joined;
}

// A signed record is signed again only with the key that signed it, and only
// while launchers still take it.
void check_signed_by(const signer_ref& signer, std::string_view signed_record,
                     const master_record& record) {
    if (!signer)
        throw bad_input("the master record is signed: give --sign KEYFILE to sign it again");
    if (!master_signed_by_any(signer->keys(), signed_record))
        throw bad_input(std::string("the master record is not signed with ") +
                        (signer->keys().size() == 1 ? "this key" : "these keys") +
                        "; launchers with its keys would refuse the new record");
    const std::string& expires = record.value(expires_key);
    const expiry_check expiry = check_expiry(expires, current_unix_time());
    if (expiry != expiry_check::valid)
        throw bad_input(std::string("the master record is past use: ") + expiry_problem(expiry) +
                        " (" + expires_key + "=" + expires +
                        "); publish it again with quillomark-publish master TREE ... --sign "
                        "KEYFILE");
}

// Writes the version of the release's files.
publish_summary write_version(const version_options& options,
                              const std::vector<source_file>& files) {
    const bytes notes = options.notes ? read_whole_file(*options.notes) : bytes{};
    const fs::path target = options.tree / std::to_string(options.version);
    strong_digest_record strong_digests =
        bound_record(product_for(options.tree, options.product), std::to_string(options.version));
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
        if (options.signer) {
            strong_digests.add(strong_digest_record::kind::file, file.name,
                               strong_digest_of(content));
            if (compressed)
                strong_digests.add(strong_digest_record::kind::served, file.name,
                                   strong_digest_of(stored));
        }
        ++summary.files;
        summary.compressed += compressed;
        summary.stored_bytes += stored.size();
        progress.advance(content.size());
    }
    write_version_file(staging.path() / version_file_name, info);
    write_whole_file(staging.path() / notes_file_name, notes);
    sign_files(options.signer,
               {staging.path() / version_file_name, staging.path() / notes_file_name});
    write_strong_digests(options.signer, staging.path(), strong_digests);
    staging.commit();
    return summary;
}

// Launchers stamped with a product take only master records made for it: a release
// names its launcher's product unless told otherwise, and never another one.
std::optional<std::string> release_product(const release_options& options) {
    const auto& launcher = options.version.launcher;
    const std::string stamped =
        launcher
            ? launcher_settings(launcher_resources(read_whole_file(*launcher), launcher->string()))
                  .product
            : std::string();
    if (options.product && !stamped.empty() && *options.product != stamped)
        throw bad_input("--product \"" + *options.product + "\" differs from the product \"" +
                        stamped + "\" that --launcher " + launcher->string() + " takes");
    if (options.product || stamped.empty())
        return options.product;
    return stamped;
}

} // namespace

std::uint64_t default_diff_memory() {
    const std::uint64_t memory = physical_memory_bytes();
    return memory > 0 ? memory / 2 : std::uint64_t{1} << 30;
}

void check_launcher_takes(const std::string& what, const fs::path& launcher,
                          const signer_ref& signer) {
    const launcher_config settings =
        launcher_settings(launcher_resources(read_whole_file(launcher), launcher.string()));
    const std::string& held = settings.release_key_hex;
    const bool takes_it =
        signer ? shares_a_key(launcher_keys(settings), signer->keys()) : held.empty();
    if (!takes_it)
        throw bad_input(what + (held.empty()
                                    ? " takes unsigned releases, but this one is signed"
                                    : " takes only releases signed with one of the keys " + held +
                                          (signer ? ", not with these" : "; give --sign")));
}

std::string record_name_of(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

publish_summary publish_version(const version_options& options) {
    return write_version(options, release_files(options));
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
    strong_digest_record strong_digests =
        bound_record(product_for(options.tree, options.product),
                     std::to_string(options.from) + " " + std::to_string(options.to));

    publish_summary summary;
    std::vector<changed_file> changed;
    for (const auto& record : new_info.files) {
        const file_info* old = old_info.find(record->name);
        if (!old || digests_equal(*old, *record))
            continue;
        const changed_file change{old, record.get()};
        const std::uint64_t needed = patch_memory_of(change);
        if (needed <= options.diff_memory) {
            changed.push_back(change);
            continue;
        }
        std::printf("patch set %s: \"%s\" ships whole: its patch would need %s of memory, more "
                    "than --diff-memory %s\n",
                    target.filename().string().c_str(), record->name.c_str(),
                    memory_text(needed).c_str(), memory_text(options.diff_memory).c_str());
        ++summary.left_out;
    }

    staged_directory staging(target);
    version_info patches(version_info::standard_magic, version_info::standard_format);
    patches.version = options.to;
    progress_meter progress("patch set " + target.filename().string(), changed.size(),
                            std::accumulate(changed.begin(), changed.end(), std::uint64_t{0},
                                            [](std::uint64_t sum, const auto& pair) {
                                                return sum + std::uint64_t(pair.second->size);
                                            }));
    const auto made = make_patches(old_dir, new_dir, changed, options.diff_memory, progress);
    for (std::size_t i = 0; i < changed.size(); ++i) {
        const file_info& record = *changed[i].second;
        if (made[i].size() < fs::file_size(path_of_name(new_dir, record.name))) {
            write_below(staging.path(), record.name, made[i]);
            patches.files.push_back(std::make_unique<file_info>(
                make_record(record.name, made[i], digest_of(made[i]), 0)));
            strong_digests.add(strong_digest_record::kind::served, record.name,
                               strong_digest_of(made[i]));
            ++summary.files;
            summary.stored_bytes += made[i].size();
        } else {
            ++summary.left_out;
        }
    }
    write_version_file(staging.path() / version_file_name, patches);
    sign_files(options.signer, {staging.path() / version_file_name});
    write_strong_digests(options.signer, staging.path(), strong_digests);
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
    std::vector<master_piece> pieces{{"version", std::to_string(options.version)},
                                     {"patches", patches},
                                     {"startapp", startapp},
                                     {"force_releasenotes", options.force_notes ? "1" : "0"}};
    if (options.rollout)
        pieces.push_back({rollout_key, std::to_string(*options.rollout)});
    if (const auto product = product_for(options.tree, options.product))
        pieces.push_back({master_product_key, *product});
    const fs::path path = options.tree / master_file_name;
    if (!options.signer) {
        write_by_rename(path, master_record_text(pieces));
        return;
    }
    pieces.push_back({expires_key, format_utc_time(options.expires)});
    write_by_rename(path, options.signer->signed_master(master_record_text(pieces)));
    // A detached master signature of an earlier publisher would only mislead a reader.
    fs::path old_signature = path;
    old_signature += signature_suffix;
    fs::remove(old_signature);
}

std::int32_t publish_release(const release_options& options) {
    const auto files = release_files(options.version);
    const std::string startapp = record_name_of(options.startapp);
    if (std::none_of(files.begin(), files.end(),
                     [&](const source_file& file) { return file.name == startapp; }))
        throw bad_input("--startapp \"" + options.startapp + "\" is not a file of " +
                        options.version.source.string());
    check_master_piece({"startapp", startapp});
    const auto earlier = versions_in(options.version.tree);
    version_options version = options.version;
    version.product = product_for(version.tree, release_product(options));
    version.version = earlier.empty() ? 1 : earlier.back() + 1;
    if (!earlier.empty() && earlier.back() == std::numeric_limits<std::int32_t>::max())
        throw bad_input("the tree holds the highest possible version number");
    write_version(version, files);

    const auto keep = std::min<std::size_t>(std::size_t(options.keep_patches), earlier.size());
    for (auto from = earlier.end() - std::ptrdiff_t(keep); from != earlier.end(); ++from)
        publish_patch_set({version.tree, *from, version.version, version.signer,
                           options.diff_memory, version.product});
    publish_master({version.tree, version.version, startapp, std::nullopt, options.force_notes,
                    version.signer, options.expires, options.rollout, version.product});
    return version.version;
}

void publish_rollout(const rollout_options& options) {
    const fs::path path = options.tree / master_file_name;
    if (!fs::is_regular_file(path))
        throw bad_input(options.tree.string() + " has no master record (" + master_file_name +
                        "); publish a release first");
    const bytes content = read_whole_file(path);
    const std::string text(content.begin(), content.end());
    const bool is_signed = split_master_signature(text).has_value();
    const std::string_view unsigned_part = unsigned_master_text(text);
    master_record record;
    parse_master_version(std::string(unsigned_part), record);
    if (!parse_version_number(record.value("version")))
        throw bad_input(path.string() + " names no version; it is not a master record");
    if (is_signed)
        check_signed_by(options.signer, text, record);
    else if (options.signer)
        throw bad_input("the master record is unsigned; sign it first with quillomark-publish "
                        "master TREE ... --sign KEYFILE");
    const std::string rewritten = with_rollout(unsigned_part, options.percent);
    write_by_rename(path, options.signer ? options.signer->signed_master(rewritten) : rewritten);
}
