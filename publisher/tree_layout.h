#pragma once
// The update tree on disk: version directories ("7"), patch-set directories
// ("6_7"), their versioninfo.vif files, and writing any of them through a staging
// directory beside the target, renamed into place only when complete.

#include "version_info.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

inline constexpr const char* version_file_name = "versioninfo.vif";
inline constexpr const char* notes_file_name = "changes.txt";
inline constexpr const char* master_file_name = "masterversion";

// A positive decimal version number that fits the format's 32 bits; empty otherwise.
std::optional<std::int32_t> parse_version_number(std::string_view text);
// The same, throwing bad_input with the option's name for anything else.
std::int32_t version_argument(std::string_view option, std::string_view text);

struct patch_set_name {
    std::int32_t from;
    std::int32_t to;
    std::string text() const;
};
std::optional<patch_set_name> parse_patch_set_name(std::string_view text);

// Version numbers and patch sets present in a tree, in ascending order.
std::vector<std::int32_t> versions_in(const fs::path& tree);
std::vector<patch_set_name> patch_sets_in(const fs::path& tree);

// One piece of the master record, "key=value".
struct master_piece {
    std::string key;
    std::string value;
};
// A "$" in a value (or a "=" in a key) would give the master record pieces that
// nobody wrote, under the signature that covers them: refused with bad_input
// naming it.
void check_master_piece(const master_piece& piece);
// The master record's text: the pieces, each checked, in order, joined by "$".
std::string master_record_text(const std::vector<master_piece>& pieces);

// A record name ("data\\a.txt") as a path below a directory.
fs::path path_of_name(const fs::path& directory, const std::string& name);

// A non-empty value of the tree's current master record, if it has one.
std::optional<std::string> current_master_value(const fs::path& tree, const std::string& key);

// Reads a versioninfo.vif; throws bad_input naming the file when it is missing or
// damaged.
version_info read_version_file(const fs::path& path);
void write_version_file(const fs::path& path, const version_info& info);

// A directory written under a temporary name beside its target. commit() renames
// it into place; otherwise the destructor removes it.
class staged_directory {
  public:
    explicit staged_directory(fs::path target);
    ~staged_directory();
    staged_directory(const staged_directory&) = delete;
    staged_directory& operator=(const staged_directory&) = delete;

    const fs::path& path() const { return staging_; }
    void commit();

  private:
    fs::path target_;
    fs::path staging_;
    bool committed_ = false;
};

// Refuses (bad_input) when the target exists already.
void refuse_existing(const fs::path& target);

// Writes a small file through a temporary file beside it and a rename.
void write_by_rename(const fs::path& target, std::string_view content);
