#include "release_signing.h"

#include "publish_errors.h"
#include "tree_layout.h"

#include <sodium.h>

#include <fcntl.h>
#include <unistd.h>

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

// Creates the file only when it does not exist, readable by its owner alone.
void write_private_file(const std::filesystem::path& path, const std::string& content) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0)
        throw bad_input(path.string() + (errno == EEXIST
                                             ? " exists already; a key is never overwritten"
                                             : " cannot be created"));
    const bool written =
        ::write(descriptor, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (::close(descriptor) != 0 || !written)
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
    write_private_file(path, std::string(key_file_header) + "\n" + seed_hex(seed) + "\n");
    sodium_memzero(seed.data(), seed.size());
    sodium_memzero(secret.data(), secret.size());
    return key;
}

release_signer::release_signer(const std::filesystem::path& key_file) {
    std::ifstream file(key_file);
    std::string header, seed_text;
    std::getline(file, header);
    std::getline(file, seed_text);
    const auto seed = parse_public_key(seed_text);
    if (!file || header != key_file_header || !seed)
        throw bad_input(key_file.string() +
                        " is not a secret key file of quillomark-publish keygen");
    crypto_sign_seed_keypair(public_.data(), secret_.data(), seed->data());
}

release_signer::~release_signer() {
    sodium_memzero(secret_.data(), secret_.size());
}

std::string release_signer::signature_of(std::span<const unsigned char> content) const {
    std::string signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         content.data(), content.size(), secret_.data());
    return signature;
}

void release_signer::sign_file(const std::filesystem::path& file) const {
    std::filesystem::path target = file;
    target += signature_suffix;
    write_by_rename(target, signature_of(read_whole_file(file)));
}

std::string release_signer::signed_master(const std::string& record) const {
    const auto* first = reinterpret_cast<const unsigned char*>(record.data());
    return record + master_signature_piece(signature_of({first, record.size()}));
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
