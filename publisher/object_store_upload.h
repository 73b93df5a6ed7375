#pragma once
// Uploads an update tree to an S3-compatible object store in the order that keeps
// every launcher safe: the files and patches, then the records that name them, then
// the master record alone. A launcher never sees a record naming what is not there
// yet, and an upload cut off anywhere leaves the old master record in place.

#include "command_line.h"
#include "object_store.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>

struct upload_options {
    std::filesystem::path tree;
    store_settings store;
    int jobs = 4;
    bool dry_run = false;
};

// The options of `upload TREE s3://BUCKET/PREFIX [--endpoint URL] [--jobs N]
// [--dry-run]`; throws bad_input for anything else.
upload_options upload_arguments(const command_line& line);

struct upload_summary {
    std::size_t objects_sent = 0;
    std::uint64_t bytes_sent = 0;
    std::size_t objects_kept = 0; // already in the store with the same bytes
};

// Looks up every object first (HEAD; its MD5 from its metadata, see store_connection)
// and refuses with bad_input, before anything is sent, when the store holds other
// bytes under a version's or patch set's name: a published version never changes.
// Then sends what differs, `jobs` at a time within each step, the steps one after
// another. Object headers: Cache-Control "public, max-age=31536000, immutable"
// below a version or patch-set directory, "no-cache" at the top. A dry run lists
// what would be sent on standard output, in order, and sends nothing.
upload_summary upload_tree(const upload_options& options);
