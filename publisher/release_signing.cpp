#include "release_signing.h"

#include "publish_errors.h"
#include "publish_platform.h"
#include "tree_layout.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <fstream>

namespace {

constexpr const char* key_file_header = "quillomark-publish ed25519 secret key";
constexpr std::int64_t default_lifetime = 90 * 86400;

std::string seed_hex(std::span<const unsigned char> seed) {
    public_key as_key{};
    std::copy(seed.begin(), seed.end(), as_key.begin());
    return public_key_hex(as_key);
}

void write_key_file(const std::filesystem::path& path, const std::string& content) {
    switch (write_private_file(path, content)) {
    case private_file_outcome::written:
        return;
    case private_file_outcome::exists:
        throw bad_input(path.string() + " exists already; a key is never overwritten");
    case private_file_outcome::not_created:
        throw bad_input(path.string() + " cannot be created");
    case private_file_outcome::not_written:
        break;
    }
    throw publish_failure("cannot write " + path.string());
}

} // namespace

public_key write_new_key(const std::filesystem::path& path) {
    if (sodium_init() < 0)
        throw publish_failure("libsodium cannot start");
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
    randombytes_buf(seed.data(), seed.size());
    public_key key;
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret;
    crypto_sign_seed_keypair(key.data(), secret.data(), seed.data());
    write_key_file(path, std::string(key_file_header) + "\n" + seed_hex(seed) + "\n");
    sodium_memzero(seed.data(), seed.size());
    sodium_memzero(secret.data(), secret.size());
    return key;
}

namespace {

// The seed of a secret key file.
public_key read_seed(const std::filesystem::path& key_file) {
    std::ifstream file(key_file);
    std::string header, seed_text;
    std::getline(file, header);
    std::getline(file, seed_text);
    const auto seed = parse_public_key(seed_text);
    if (!file || header != key_file_header || !seed)
        throw bad_input(key_file.string() +
                        " is not a secret key file of quillomark-publish keygen");
    return *seed;
}

} // namespace

release_signer::release_signer(const std::vector<std::filesystem::path>& key_files) {
    if (key_files.size() > most_release_keys)
        throw bad_input("at most " + std::to_string(most_release_keys) + " keys sign a release");
    for (const auto& key_file : key_files) {
        public_key seed = read_seed(key_file);
        public_key key;
        crypto_sign_seed_keypair(key.data(), secrets_.emplace_back().data(), seed.data());
        sodium_memzero(seed.data(), seed.size());
        if (std::find(keys_.begin(), keys_.end(), key) != keys_.end())
            throw bad_input(key_file.string() + " holds a key given already");
        keys_.push_back(key);
    }
    if (keys_.empty())
        throw bad_input("no key to sign with");
}

release_signer::~release_signer() {
    for (secret_key& secret : secrets_)
        sodium_memzero(secret.data(), secret.size());
}

std::string release_signer::signature_of(const secret_key& secret, std::string_view bytes) const {
    std::string signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                         secret.data());
    return signature;
}

void release_signer::sign_file(const std::filesystem::path& file) const {
    const bytes content = read_whole_file(file);
    const std::string_view text(reinterpret_cast<const char*>(content.data()), content.size());
    std::filesystem::path target = file;
    target += signature_suffix;
    write_by_rename(target, signature_of(secrets_.front(), text));
    if (keys_.size() == 1)
        return;
    std::vector<keyed_signature> signatures;
    for (std::size_t index = 0; index < keys_.size(); ++index)
        signatures.push_back({keys_[index], signature_of(secrets_[index], text)});
    std::filesystem::path list = file;
    list += signature_list_suffix;
    write_by_rename(list, signature_list_text(signatures));
}

// The last key's piece first, so that the first key's comes last and signs all.
std::string release_signer::signed_master(const std::string& record) const {
    std::string ids;
    for (const public_key& key : keys_)
        ids.append(ids.empty() ? "" : ",").append(key_id(key));
    std::string text = record + "$" + master_keys_key + "=" + ids;
    for (std::size_t index = keys_.size(); index-- > 0;)
        text += master_signature_piece(index, signature_of(secrets_[index], text));
    return text;
}

std::string_view unsigned_master_text(std::string_view record) {
    const std::vector<master_signature> chain = master_signature_chain(record);
    std::string_view body = chain.empty() ? record : chain.back().signed_bytes;
    const std::size_t piece = body.rfind('$');
    if (piece != std::string_view::npos &&
        body.substr(piece + 1).starts_with(std::string(master_keys_key) + "="))
        body = body.substr(0, piece);
    return body;
}

std::int64_t current_unix_time() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t expiry_argument(const std::optional<std::string>& text) {
    const std::int64_t now = current_unix_time();
    if (!text)
        return now + default_lifetime;
    const auto until = parse_utc_time(*text);
    if (!until)
        throw bad_input("--expires must be a UTC time YYYY-MM-DDTHH:MM:SSZ");
    if (*until <= now)
        throw bad_input("--expires " + *text + " has passed; launchers would refuse the record");
    return *until;
}
