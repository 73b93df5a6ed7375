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

// A secret key file holds one header line and the 32-byte seed as 64 hex digits.
// Writes a new key to a file that must not exist yet (mode 0600) and returns its
// public key; throws bad_input when the file exists.
public_key write_new_key(const std::filesystem::path& path);

class release_signer {
  public:
    // Throws bad_input when the file is missing or not a key file.
    explicit release_signer(const std::filesystem::path& key_file);
    ~release_signer();
    release_signer(const release_signer&) = delete;
    release_signer& operator=(const release_signer&) = delete;

    const public_key& key() const { return public_; }
    // Writes "<file>.sig", the signature of the file's bytes as they are now.
    void sign_file(const std::filesystem::path& file) const;
    // The master record's text with its signature piece appended.
    std::string signed_master(const std::string& record) const;

  private:
    std::string signature_of(std::span<const unsigned char> bytes) const;

    public_key public_{};
    std::array<unsigned char, 64> secret_{};
};

using signer_ref = std::shared_ptr<const release_signer>;

// The master record's expiry: --expires given as "YYYY-MM-DDTHH:MM:SSZ", else 90
// days from now. Throws bad_input for another form or a time that has passed.
std::int64_t expiry_argument(const std::optional<std::string>& text);
std::int64_t current_unix_time();
