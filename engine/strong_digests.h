#pragma once
// The SHA-256 record of a signed release ("versioninfo.sha256", beside each
// versioninfo.vif and signed like it). The version records name files by MD5, which
// launchers in the field read and which stays; but an MD5 twin of a file can be
// made, so a launcher with a key also checks the SHA-256 of every file it installs.
// A version's record lists each file as installed ("file") and, for a container,
// the bytes served for it ("served"); a patch set's record lists each patch as
// served. Text, one line each, after a header line:
//   quillomark sha256 1
//   file <64 lower-case hex digits> <release name>
//   served <64 lower-case hex digits> <release name>
// A record also names what it belongs to, so that one key's records of one product
// or version cannot be served for another:
//   file <SHA-256 of the value> *product <product name>      (when the tree has one)
//   file <SHA-256 of the value> *version <N>                 (a version's record)
//   file <SHA-256 of the value> *version <M> <N>             (a patch set from M to N)
// These take the form of file lines because the first launchers that read records
// parse every line strictly as "file" or "served" and must go on taking new
// releases: to them these are two more files they never look up. No release file
// can meet them: '*' is no character of a file name.
// Portable: the launcher and the publisher share it.

#include "sha256.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

constexpr const char* strong_digest_file_name = "versioninfo.sha256";

class strong_digest_record {
  public:
    enum class kind { file, served };

    // False when the name has a digest of this kind already; a file name with '*'
    // is a binding line's, false when it is not one that can be taken.
    bool add(kind of, const std::string& name, const sha256_digest& digest);
    // Nothing when the record does not list the name.
    const sha256_digest* find(kind of, const std::string& name) const;
    std::string text() const;

    void bind_product(std::string product) { product_ = std::move(product); }
    void bind_version(std::string version) { version_ = std::move(version); }
    const std::optional<std::string>& product() const { return product_; }
    const std::optional<std::string>& version() const { return version_; }

  private:
    bool bind(std::string_view name, const sha256_digest& digest);

    std::map<std::string, sha256_digest> files_;
    std::map<std::string, sha256_digest> served_;
    std::optional<std::string> product_;
    std::optional<std::string> version_;
};

// Nothing for any text that is not exactly such a record: another header, a line
// of another form, a name given twice for one kind, a name with control characters,
// a missing final line break, a binding line given twice, with an empty value or
// with a digest that is not its value's.
std::optional<strong_digest_record> parse_strong_digests(std::string_view text);
