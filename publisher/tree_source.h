#pragma once
// Where a tree is read from when it is verified: a directory, or a server that a
// launcher would download it from.

#include "byte_files.h"
#include "tree_layout.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct fetch_result {
    std::optional<bytes> content;
    std::string error; // why there is no content
};

class tree_source {
  public:
    virtual ~tree_source() = default;
    // `path` is relative to the tree, as the launcher builds it: "2/versioninfo.vif",
    // "2/data\\a.txt".
    virtual fetch_result fetch(const std::string& path) = 0;
    // What a directory holds beyond what the master record names; a server cannot
    // list, so it has nothing more.
    virtual std::vector<std::int32_t> more_versions() { return {}; }
    virtual std::vector<patch_set_name> more_patch_sets() { return {}; }
};

std::unique_ptr<tree_source> local_tree(const fs::path& tree);
// A served tree below `base_url`, fetched with libcurl; names are escaped the way
// the launcher escapes them.
std::unique_ptr<tree_source> served_tree(std::string base_url);

// True when the argument names a served tree rather than a directory.
bool is_url(const std::string& argument);
