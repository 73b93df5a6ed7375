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
// Portable: the launcher and the publisher share it.

#include "sha256.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

constexpr const char* strong_digest_file_name = "versioninfo.sha256";

class strong_digest_record {
  public:
    enum class kind { file, served };

    // False when the name has a digest of this kind already.
    bool add(kind of, const std::string& name, const sha256_digest& digest);
    // Nothing when the record does not list the name.
    const sha256_digest* find(kind of, const std::string& name) const;
    std::string text() const;

  private:
    std::map<std::string, sha256_digest> files_;
    std::map<std::string, sha256_digest> served_;
};

// Nothing for any text that is not exactly such a record: another header, a line
// of another form, a name given twice for one kind, a name with control characters,
// a missing final line break.
std::optional<strong_digest_record> parse_strong_digests(std::string_view text);
