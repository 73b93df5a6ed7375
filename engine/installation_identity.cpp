// The installation's identity in quillomark.id: read, or made and stored once.

#include "rollout.h"

#include "file_helpers.h"
#include "logfile.h"
#include "win_handles.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

// An identity file holds exactly the 32 digits; a longer one is damaged.
constexpr DWORD identity_read_limit = 64;

// The file's first bytes into `text`; the system error, 0 when it was read. A folder
// in its place is not held by anyone: waiting would not make it readable.
DWORD read_identity_file(const std::string& path, std::string& text) {
    const std::wstring file = system_path(path);
    const file_handle handle(CreateFileW(file.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(file.c_str());
        const bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        return folder ? ERROR_DIRECTORY : error;
    }
    text.assign(identity_read_limit, '\0');
    DWORD got = 0;
    if (!ReadFile(handle.get(), text.data(), identity_read_limit, &got, nullptr))
        return GetLastError();
    text.resize(got);
    return ERROR_SUCCESS;
}

identity_file_reading read_identity(const std::string& path, const held_file_wait& wait) {
    identity_file_reading reading;
    held_file_pauses pauses;
    reading.error = retry_while_file_held(
        "read " + path, pauses, [&] { return read_identity_file(path, reading.text); }, wait);
    return reading;
}

std::optional<std::string> new_identity() {
    unsigned char random[16];
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return std::nullopt;
    return identity_text(random);
}

// Written in the work directory (where no release file lies) and moved over the
// file, so that a crash never leaves half an identity behind. What cannot be
// created is not ours to remove; a work directory made for it goes again when empty.
bool store_identity(const std::string& identity, const std::string& install_dir,
                    const std::string& path, const held_file_wait& wait) {
    const std::string work = install_dir + "\\" + work_directory_name;
    const std::string staged = work + "\\" + identity_file_name + ".part";
    const bool stored = ensure_directory(work) && store_file_bytes(staged, path, identity, wait);
    RemoveDirectoryW(system_path(work).c_str());
    return stored;
}

// A new identity in place of a missing or damaged file; none when it cannot be kept.
std::optional<std::string> replaced_identity(const identity_file_reading& reading,
                                             const std::string& install_dir,
                                             const std::string& path, const held_file_wait& wait) {
    const std::optional<std::string> identity = new_identity();
    if (!identity) {
        log_error("No random bytes for a new installation identity");
        return std::nullopt;
    }
    if (reading.error == ERROR_SUCCESS)
        log_info("Installation identity " + path + " is damaged: a new one replaces it");
    else
        log_info("New installation identity in " + path);
    if (store_identity(*identity, install_dir, path, wait))
        return identity;
    log_error("Could not store the installation identity in " + path);
    return std::nullopt;
}

std::string identity_path(const std::string& install_dir) {
    return install_dir + "\\" + identity_file_name;
}

} // namespace

std::optional<std::string> installation_identity(const std::string& install_dir,
                                                 const held_file_wait& wait) {
    const std::string path = identity_path(install_dir);
    const identity_file_reading reading = read_identity(path, wait);
    switch (state_of(reading)) {
    case identity_file_state::valid:
        return reading.text;
    case identity_file_state::replaceable:
        return replaced_identity(reading, install_dir, path, wait);
    case identity_file_state::unreadable:
        break;
    }
    log_error("Could not read the installation identity in " + path + " (error " +
              std::to_string(reading.error) + ")");
    return std::nullopt;
}

std::optional<std::string> stored_installation_identity(const std::string& install_dir,
                                                        const held_file_wait& wait) {
    const identity_file_reading reading = read_identity(identity_path(install_dir), wait);
    if (state_of(reading) == identity_file_state::valid)
        return reading.text;
    return std::nullopt;
}
