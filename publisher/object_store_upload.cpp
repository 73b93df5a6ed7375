#include "object_store_upload.h"

#include "progress.h"
#include "publish_errors.h"
#include "publish_platform.h"
#include "signature.h"
#include "strong_digests.h"
#include "tree_layout.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace {

constexpr int most_jobs = 64;
constexpr const char* immutable = "public, max-age=31536000, immutable";
constexpr const char* revalidate = "no-cache";

// The steps of an upload, sent in this order, each complete before the next.
enum class upload_step { content, records, master_signatures, master };

struct tree_object {
    std::string name; // relative to the tree: "2/data/a.txt"
    fs::path file;
    upload_step step;
    std::uint64_t size = 0;
    digest_bytes digest{};
    bool in_store = false; // with the same bytes
    bool changed = false;  // with other bytes, under a name that never changes
};

bool is_record(const std::string& file_name) {
    return file_name == version_file_name || file_name == notes_file_name ||
           file_name == strong_digest_file_name || file_name.ends_with(signature_suffix) ||
           file_name.ends_with(signature_list_suffix);
}

void add_directory(std::vector<tree_object>& objects, const fs::path& tree,
                   const std::string& directory) {
    walk_directory(tree / directory, [&](const found_entry& entry) {
        if (entry.type != found_entry::kind::file)
            return true;
        const bool record = !entry.relative.has_parent_path() && is_record(entry.relative.string());
        objects.push_back({directory + "/" + entry.relative.generic_string(), entry.path,
                           record ? upload_step::records : upload_step::content, entry.size});
        return true;
    });
}

// Every version and patch set of the tree, the master record and the signatures
// beside it; nothing else at the top (no staging directories, no stray files).
std::vector<tree_object> objects_of(const fs::path& tree) {
    if (!fs::is_regular_file(tree / master_file_name))
        throw bad_input(tree.string() + " has no " + master_file_name + ": not an update tree");
    std::vector<tree_object> objects;
    for (const std::int32_t version : versions_in(tree))
        add_directory(objects, tree, std::to_string(version));
    for (const patch_set_name& set : patch_sets_in(tree))
        add_directory(objects, tree, set.text());
    for (const auto& entry : fs::directory_iterator(tree)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.ends_with(".sig"))
            objects.push_back(
                {name, entry.path(), upload_step::master_signatures, entry.file_size()});
    }
    objects.push_back({master_file_name, tree / master_file_name, upload_step::master,
                       fs::file_size(tree / master_file_name)});
    std::stable_sort(objects.begin(), objects.end(), [](const auto& a, const auto& b) {
        return std::pair(a.step, a.name) < std::pair(b.step, b.name);
    });
    return objects;
}

bool versioned(const tree_object& object) {
    return object.step == upload_step::content || object.step == upload_step::records;
}

object_headers headers_of(const tree_object& object) {
    const bool text = object.name == master_file_name || object.name.ends_with("/changes.txt");
    return {text ? "text/plain" : "application/octet-stream",
            versioned(object) ? immutable : revalidate};
}

// Runs work(i, connection) for every i below count on up to `jobs` threads, each
// with a connection of its own. The first failure stops the taking of more work and
// is thrown once every thread has ended.
void for_each_in_parallel(std::size_t count, int jobs, const store_settings& settings,
                          const std::function<void(std::size_t, store_connection&)>& work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failure_lock;
    {
        std::vector<std::jthread> threads;
        const auto thread_count = std::min<std::size_t>(static_cast<std::size_t>(jobs), count);
        for (std::size_t t = 0; t < thread_count; ++t)
            threads.emplace_back([&] {
                try {
                    store_connection connection(settings);
                    for (std::size_t i; !failed && (i = next++) < count;)
                        work(i, connection);
                } catch (...) {
                    const std::lock_guard lock(failure_lock);
                    if (!failure)
                        failure = std::current_exception();
                    failed = true;
                }
            });
    }
    if (failure)
        std::rethrow_exception(failure);
}

// A progress meter that the threads of a step advance together.
struct shared_progress {
    progress_meter meter;
    std::mutex lock;

    void advance(std::uint64_t bytes) {
        const std::lock_guard hold(lock);
        meter.advance(bytes);
    }
};

void look_up_all(std::vector<tree_object>& objects, const upload_options& options) {
    std::uint64_t bytes = 0;
    for (const tree_object& object : objects)
        bytes += object.size;
    shared_progress progress{{"check", objects.size(), bytes, "objects"}, {}};
    for_each_in_parallel(objects.size(), options.jobs, options.store,
                         [&](std::size_t i, store_connection& connection) {
                             tree_object& object = objects[i];
                             object.digest = digest_of_file(object.file);
                             const stored_object stored = connection.look_up(object.name);
                             object.in_store = stored.exists && stored.digest == object.digest;
                             object.changed =
                                 stored.exists && !object.in_store && versioned(object);
                             progress.advance(object.size);
                         });
}

void refuse_changed_versions(const std::vector<tree_object>& objects,
                             const store_address& address) {
    std::string changed;
    for (const tree_object& object : objects)
        if (object.changed)
            changed += "\n  " + address.key_of(object.name);
    if (!changed.empty())
        throw bad_input("the store holds other bytes under these names of published versions, "
                        "which never change (publish a new version instead); nothing was "
                        "uploaded:" +
                        changed);
}

void send_step(const std::vector<const tree_object*>& step, const upload_options& options,
               shared_progress& progress) {
    for_each_in_parallel(step.size(), options.jobs, options.store,
                         [&](std::size_t i, store_connection& connection) {
                             const tree_object& object = *step[i];
                             connection.put(object.name, object.file, object.size, object.digest,
                                            headers_of(object));
                             progress.advance(object.size);
                         });
}

} // namespace

upload_options upload_arguments(const command_line& line) {
    if (line.positional.size() != 2)
        throw bad_input("expected TREE and s3://BUCKET/PREFIX, got " +
                        std::to_string(line.positional.size()) + " arguments");
    upload_options options{argument_path(line.positional[0]), {}, 4, line.flag("--dry-run")};
    if (!fs::is_directory(options.tree))
        throw bad_input(options.tree.string() + " is not a directory");
    options.store = {parse_store_address(line.positional[1]), line.value("--endpoint"),
                     credentials_from_environment()};
    if (const auto jobs = line.value("--jobs")) {
        const auto number = parse_version_number(*jobs);
        if (!number || *number > most_jobs)
            throw bad_input("--jobs must be a whole number from 1 to " + std::to_string(most_jobs));
        options.jobs = *number;
    }
    return options;
}

upload_summary upload_tree(const upload_options& options) {
    std::vector<tree_object> objects = objects_of(options.tree);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    look_up_all(objects, options);
    refuse_changed_versions(objects, options.store.address);

    upload_summary summary;
    std::vector<std::vector<const tree_object*>> steps(static_cast<int>(upload_step::master) + 1);
    for (const tree_object& object : objects) {
        if (object.in_store) {
            ++summary.objects_kept;
            continue;
        }
        steps[static_cast<std::size_t>(object.step)].push_back(&object);
        ++summary.objects_sent;
        summary.bytes_sent += object.size;
    }
    if (options.dry_run) {
        for (const auto& step : steps)
            for (const tree_object* object : step)
                std::printf("%s\n", options.store.address.key_of(object->name).c_str());
        return summary;
    }
    shared_progress progress{{"upload", summary.objects_sent, summary.bytes_sent, "objects"}, {}};
    for (const auto& step : steps)
        send_step(step, options, progress);
    return summary;
}
