#pragma once
// The publisher's half of signed releases: a secret key file, the detached
// signature ("<file>.sig") written beside each version's records, and the
// signature that the master record carries in itself.

#include "byte_files.h"
#include "signature.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A secret key file holds one header line and the 32-byte seed as 64 hex digits.
// Writes a new key to a file that must not exist yet (mode 0600) and returns its
// public key; throws bad_input when the file exists.
public_key write_new_key(const std::filesystem::path& path);

// Signs with one key, or with up to four while releases move to a new key. The
// first key is the one that launchers in the field check: its signatures go where
// they look.
class release_signer {
  public:
    // Throws bad_input when a file is missing or not a key file, when two files hold
    // one key, or for more than four.
    explicit release_signer(const std::vector<std::filesystem::path>& key_files);
    ~release_signer();
    release_signer(const release_signer&) = delete;
    release_signer& operator=(const release_signer&) = delete;

    const public_key& key() const { return keys_.front(); }
    const key_ring& keys() const { return keys_; }
    // Writes "<file>.sig", the first key's signature of the file's bytes as they are
    // now, and with more keys "<file>.sigs", every key's.
    void sign_file(const std::filesystem::path& file) const;
    // The master record's text with the piece naming the keys and the chain of
    // signature pieces appended.
    std::string signed_master(const std::string& record) const;

  private:
    using secret_key = std::array<unsigned char, 64>;
    std::string signature_of(const secret_key& secret, std::string_view bytes) const;

    key_ring keys_;
    std::vector<secret_key> secrets_;
};

using signer_ref = std::shared_ptr<const release_signer>;

// The master record's expiry: --expires given as "YYYY-MM-DDTHH:MM:SSZ", else 90
// days from now. Throws bad_input for another form or a time that has passed.
std::int64_t expiry_argument(const std::optional<std::string>& text);
std::int64_t current_unix_time();

// A signed master record's own pieces: its text before the piece naming the keys
// and the signatures.
std::string_view unsigned_master_text(std::string_view record);
