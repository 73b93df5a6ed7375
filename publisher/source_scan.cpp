#include "source_scan.h"

#include "file_info.h"
#include "installation_layout.h"
#include "name_rules.h"
#include "publish_errors.h"
#include "publish_platform.h"
#include "tree_layout.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cwctype>
#include <map>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t largest_size = file_info::largest_size;

// What the launcher keeps at the top of an installation beside the release's files.
// A source folder copied from an installation holds them; a release leaves them out.
// The prepared-update files join this list.
constexpr std::array<std::string_view, 8> launchers_own_top_names = {
    installed_record_name, log_file_name,    prepare_log_file_name,     identity_file_name,
    work_directory_name,   kept_folder_name, refused_version_file_name, start_app_file_name};

std::string record_name(const fs::path& relative) {
    std::string name = relative.generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

// The tree's release notes lie beside a version's files.
bool collides_with_notes(const std::string& name) {
    return file_alias_key(name.substr(0, name.find('\\'))) == file_alias_key(notes_file_name);
}

bool is_launchers_own(const fs::path& top_name) {
    const std::string key = file_alias_key(top_name.string());
    return std::any_of(launchers_own_top_names.begin(), launchers_own_top_names.end(),
                       [&](std::string_view own) { return file_alias_key(own) == key; });
}

class source_checks {
  public:
    void check(const source_file& file, bool skip_empty, bool& keep) {
        keep = true;
        if (!is_safe_relative_name(file.name))
            return fail("\"" + file.name + "\" is not a name the launcher accepts");
        if (collides_with_notes(file.name))
            return fail("\"" + file.name + "\" would collide with the release notes of the tree");
        if (file.size > largest_size)
            return fail("\"" + file.name + "\" is 4 GiB or larger");
        if (file.size == 0 && skip_empty) {
            std::fprintf(stderr, "warning: leaving out the empty file \"%s\"\n", file.name.c_str());
            keep = false;
            return;
        }
        if (file.size == 0)
            return fail("\"" + file.name + "\" is empty (use --skip-empty to leave it out)");
        check_case(file.name, folded_name(file.name));
    }

    void throw_if_failed() const {
        if (problems_.empty())
            return;
        std::string message;
        for (const auto& problem : problems_)
            message += (message.empty() ? "" : "\n") + problem;
        throw bad_input(message);
    }

  private:
    void fail(std::string problem) { problems_.push_back(std::move(problem)); }

    // Windows sees one file, or a file and a directory, where Linux sees two names.
    void check_case(const std::string& name, const std::string& folded) {
        for (std::size_t end = folded.find('\\'); end != std::string::npos;
             end = folded.find('\\', end + 1))
            claim(folded.substr(0, end), name.substr(0, end));
        claim(folded, name);
    }

    void claim(const std::string& folded, const std::string& name) {
        const auto [existing, added] = claimed_.emplace(folded, name);
        if (!added && existing->second != name)
            fail("\"" + existing->second + "\" and \"" + name + "\" differ only in case");
    }

    std::vector<std::string> problems_;
    std::map<std::string, std::string> claimed_;
};

} // namespace

std::string folded_name(const std::string& name) {
    std::mbstate_t state{};
    std::string folded;
    const char* next = name.c_str();
    const char* end = next + name.size();
    while (next < end) {
        wchar_t character = 0;
        const std::size_t length = std::mbrtowc(&character, next, end - next, &state);
        if (length == 0 || length > static_cast<std::size_t>(end - next))
            return name;
        char encoded[MB_LEN_MAX];
        std::mbstate_t out_state{};
        const std::size_t written = std::wcrtomb(encoded, std::towlower(character), &out_state);
        if (written == static_cast<std::size_t>(-1))
            return name;
        folded.append(encoded, written);
        next += length;
    }
    return folded;
}

std::vector<source_file> scan_source(const fs::path& directory, bool skip_empty) {
    if (!fs::is_directory(directory))
        throw bad_input(directory.string() + " is not a directory");
    std::vector<source_file> files;
    std::vector<std::string> left_out;
    walk_directory(directory, [&](const found_entry& entry) {
        if (!entry.relative.has_parent_path() && is_launchers_own(entry.relative)) {
            left_out.push_back(entry.relative.string());
            return false;
        }
        if (entry.type == found_entry::kind::directory)
            return true;
        if (entry.type != found_entry::kind::file)
            throw bad_input(entry.path.string() + " is not a regular file");
        files.push_back({record_name(entry.relative), entry.path, entry.size});
        return true;
    });
    std::sort(left_out.begin(), left_out.end());
    for (const auto& name : left_out)
        std::fprintf(stderr,
                     "warning: leaving out \"%s\": the launcher keeps it in an installation, a "
                     "release never ships it\n",
                     name.c_str());
    std::sort(files.begin(), files.end(),
              [](const source_file& a, const source_file& b) { return a.name < b.name; });
    source_checks checks;
    std::vector<source_file> kept;
    for (auto& file : files) {
        bool keep = true;
        checks.check(file, skip_empty, keep);
        if (keep)
            kept.push_back(std::move(file));
    }
    checks.throw_if_failed();
    return kept;
}
