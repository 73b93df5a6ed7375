#pragma once
// Phased rollouts: the master record's "rollout" piece offers its version to a share
// of the installations. Each installation decides alone, from a random identity of
// its own kept in "quillomark.id" (never sent anywhere) and the offered version:
// its bucket, 0 to 99, takes the release when it lies below the share. Mixing the
// version in draws a new sample for every release.

#include "held_files.h"
#include "installation_layout.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class master_record;

constexpr const char* rollout_key = "rollout";
constexpr int full_rollout = 100;

// A share of the installations in percent: decimal digits only, 0 to 100; none for
// anything else (a sign, blanks, an empty text).
std::optional<int> parse_rollout_percent(std::string_view text);

// The share the record offers its version to: absent reads as 100; none when the
// piece is there but not a share.
std::optional<int> rollout_percent_of(const master_record& record);

// The identity as stored: 32 lower-case hex digits of 16 random bytes.
std::string identity_text(const unsigned char (&random)[16]);
bool is_identity_text(std::string_view text);

// The first four bytes, little-endian, of the MD5 of the identity, "/" and the
// version in decimal, modulo 100.
int rollout_bucket(std::string_view identity, std::int32_t version);

// quillomark.id as a run found it: its first bytes, or the system error that
// stopped the reading once a hold by another program had been waited out.
struct identity_file_reading {
    unsigned long error = 0;
    std::string text;
};

// What the run does with the file: take the identity it holds, replace it (it is
// missing, or read and damaged), or do without (it could not be read).
enum class identity_file_state { valid, replaceable, unreadable };
identity_file_state state_of(const identity_file_reading& reading);

#ifdef _WIN32
// The installation's identity from quillomark.id in the directory, read again while
// another program holds it (each pause through `wait`). A missing or damaged file is
// replaced by a new identity from the system's generator, flushed and moved into
// place. None, logged, when the file cannot be read or a new identity cannot be
// drawn or stored: an identity that is not kept would draw a new bucket on every
// run, and so sooner or later take every phased release.
std::optional<std::string> installation_identity(const std::string& install_dir,
                                                 const held_file_wait& wait);
// The identity that quillomark.id holds, read as above; none when it is missing,
// damaged or unreadable. Writes nothing.
std::optional<std::string> stored_installation_identity(const std::string& install_dir,
                                                        const held_file_wait& wait);
#endif
