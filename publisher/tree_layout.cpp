#include "tree_layout.h"

#include "byte_files.h"
#include "platform.h"
#include "publish_errors.h"
#include "publish_platform.h"
#include "signature.h"
#include "stdio_stream.h"

#include <algorithm>
#include <charconv>
#include <limits>

std::optional<std::int32_t> parse_version_number(std::string_view text) {
    std::int32_t value = 0;
    if (text.empty() || text.front() < '1' || text.front() > '9')
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::int32_t version_argument(std::string_view option, std::string_view text) {
    if (const auto value = parse_version_number(text))
        return *value;
    throw bad_input(std::string(option) + " must be a positive whole number below 2^31, not \"" +
                    std::string(text) + "\"");
}

std::string patch_set_name::text() const {
    return std::to_string(from) + "_" + std::to_string(to);
}

std::optional<patch_set_name> parse_patch_set_name(std::string_view text) {
    const auto underscore = text.find('_');
    if (underscore == std::string_view::npos)
        return std::nullopt;
    const auto from = parse_version_number(text.substr(0, underscore));
    const auto to = parse_version_number(text.substr(underscore + 1));
    if (!from || !to || *from == *to)
        return std::nullopt;
    return patch_set_name{*from, *to};
}

void check_master_piece(const master_piece& piece) {
    if (piece.key.find('=') != std::string::npos)
        throw bad_input("the master record's key \"" + piece.key +
                        "\" holds a \"=\", which ends a key");
    if (piece.value.find('$') != std::string::npos)
        throw bad_input(piece.key + " \"" + piece.value +
                        "\" holds a \"$\", which separates the master record's pieces");
}

std::string master_record_text(const std::vector<master_piece>& pieces) {
    std::string text;
    for (const master_piece& piece : pieces) {
        check_master_piece(piece);
        text += (text.empty() ? "" : "$") + piece.key + "=" + piece.value;
    }
    return text;
}

namespace {

std::vector<std::string> directory_names(const fs::path& tree) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(tree, error))
        if (entry.is_directory())
            names.push_back(entry.path().filename().string());
    return names;
}

} // namespace

std::vector<std::int32_t> versions_in(const fs::path& tree) {
    std::vector<std::int32_t> versions;
    for (const auto& name : directory_names(tree))
        if (const auto number = parse_version_number(name);
            number && std::to_string(*number) == name)
            versions.push_back(*number);
    std::sort(versions.begin(), versions.end());
    return versions;
}

std::vector<patch_set_name> patch_sets_in(const fs::path& tree) {
    std::vector<patch_set_name> sets;
    for (const auto& name : directory_names(tree))
        if (const auto set = parse_patch_set_name(name); set && set->text() == name)
            sets.push_back(*set);
    std::sort(sets.begin(), sets.end(), [](const patch_set_name& a, const patch_set_name& b) {
        return std::pair(a.to, a.from) < std::pair(b.to, b.from);
    });
    return sets;
}

fs::path path_of_name(const fs::path& directory, const std::string& name) {
    std::string relative = name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return system_usable_path(directory / utf8_path(relative));
}

version_info read_version_file(const fs::path& path) {
    version_info info(version_info::standard_magic, version_info::standard_format);
    stdio_stream file(open_shared_stream(path.string(), "rb"));
    if (!file)
        throw bad_input(path.string() + " is missing");
    byte_reader reader(file.get());
    if (!info.read(reader))
        throw bad_input(path.string() + " is damaged");
    return info;
}

void write_version_file(const fs::path& path, const version_info& info) {
    stdio_stream file(open_shared_stream(path.string(), "wb"));
    if (!file || !info.write(file.get()) || std::fclose(file.release()) != 0)
        throw publish_failure("cannot write " + path.string());
}

namespace {

// A hidden name beside the target that no other process of ours uses.
fs::path staging_path(const fs::path& target) {
    std::string name = ".";
    name += target.filename().string();
    name += ".staging-";
    name += std::to_string(process_id());
    return target.parent_path() / utf8_path(name);
}

} // namespace

staged_directory::staged_directory(fs::path target)
    : target_(std::move(target)), staging_(staging_path(target_)) {
    fs::remove_all(staging_);
    fs::create_directories(staging_);
}

staged_directory::~staged_directory() {
    std::error_code ignored;
    if (!committed_)
        fs::remove_all(staging_, ignored);
}

void staged_directory::commit() {
    refuse_existing(target_);
    fs::rename(staging_, target_);
    committed_ = true;
}

void refuse_existing(const fs::path& target) {
    if (fs::exists(fs::symlink_status(target)))
        throw bad_input(target.string() + " exists already");
}

void write_by_rename(const fs::path& target, std::string_view content) {
    const fs::path temporary = staging_path(target);
    write_whole_file(temporary, std::span(reinterpret_cast<const unsigned char*>(content.data()),
                                          content.size()));
    fs::rename(temporary, target);
}

std::optional<std::string> current_master_value(const fs::path& tree, const std::string& key) {
    const fs::path path = tree / master_file_name;
    if (!fs::is_regular_file(path))
        return std::nullopt;
    const bytes content = read_whole_file(path);
    const std::string text(content.begin(), content.end());
    const std::optional<master_signature> signature = split_master_signature(text);
    master_record record;
    parse_master_version(std::string(signature ? signature->signed_bytes : text), record);
    const std::string& value = record.value(key);
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
}
