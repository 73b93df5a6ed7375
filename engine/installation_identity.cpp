// The installation's identity in quillomark.id: read, or made and stored once.

#include "rollout.h"

#include "file_helpers.h"
#include "logfile.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

// An identity file holds exactly the 32 digits; a longer one is damaged.
constexpr std::size_t identity_read_limit = 64;

// The file's text, or none when it cannot be opened.
std::optional<std::string> read_identity_file(const std::string& path) {
    stdio_stream file;
    if (!open_file_utf8("rb", file, path))
        return std::nullopt;
    std::string text(identity_read_limit, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    return text;
}

std::optional<std::string> new_identity() {
    unsigned char random[16];
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return std::nullopt;
    return identity_text(random);
}

// Written beside the file and moved over it, so that a crash never leaves half an
// identity behind.
bool store_identity(const std::string& identity, const std::string& path,
                    const held_file_wait& wait) {
    const std::string staged = path + ".part";
    stdio_stream file;
    bool stored = open_file_utf8("wb", file, staged);
    stored = stored && write_file(file, identity.size(), identity.data()) == identity.size();
    stored = close_file(file) == 0 && stored;
    held_file_pauses pauses;
    stored = stored && move_into_place(staged, path, pauses, wait) == ERROR_SUCCESS;
    if (!stored)
        delete_file_utf8(staged, wait);
    return stored;
}

} // namespace

std::optional<std::string> installation_identity(const std::string& install_dir,
                                                 const held_file_wait& wait) {
    const std::string path = install_dir + "\\" + identity_file_name;
    const std::optional<std::string> stored = read_identity_file(path);
    if (stored && is_identity_text(*stored))
        return stored;
    const std::optional<std::string> identity = new_identity();
    if (!identity) {
        log_error("No random bytes for a new installation identity");
        return std::nullopt;
    }
    if (stored || file_size(path))
        log_info("Installation identity " + path +
                 " is damaged or unreadable: a new one replaces it");
    else
        log_info("New installation identity in " + path);
    if (!store_identity(*identity, path, wait))
        log_error("Could not store the installation identity in " + path);
    return identity;
}
