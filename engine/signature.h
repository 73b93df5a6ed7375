#pragma once
// Signed releases: the publisher signs each record the launcher trusts with an
// Ed25519 key. A version's records, which never change once published, have a
// detached 64-byte signature in "<file>.sig". The master record, the one file that
// changes in place, signs itself, so that a cache can never pair it with the
// signature of another age; it also carries "expires=YYYY-MM-DDTHH:MM:SSZ" so that
// an old one cannot be replayed for ever. Portable: the launcher and the publisher
// share it.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using public_key = std::array<unsigned char, 32>;

constexpr std::size_t signature_size = 64;
constexpr const char* signature_suffix = ".sig";
constexpr const char* expires_key = "expires";
constexpr const char* master_signature_key = "sig";
// The product a signed master record was made for.
constexpr const char* master_product_key = "product";

// A key written as 64 lower-case hex digits; nothing for any other text.
std::optional<public_key> parse_public_key(std::string_view hex);
std::string public_key_hex(const public_key& key);

// True when the signature is the key's detached signature of exactly these bytes.
bool signature_matches(const public_key& key, std::string_view bytes, std::string_view signature);

// A signed master record ends in the piece "$sig=" followed by the signature in
// 128 lower-case hex digits; the signature covers every byte before that "$".
struct master_signature {
    std::string_view signed_bytes;
    std::string signature;
};
// The signed part and the signature; nothing when the record does not end in a
// signature piece.
std::optional<master_signature> split_master_signature(std::string_view record);
// The piece that signs the master record whose bytes before it were signed.
std::string master_signature_piece(std::string_view signature);

// Seconds since 1970-01-01 UTC of "YYYY-MM-DDTHH:MM:SSZ"; nothing for any other text
// or an impossible date.
std::optional<std::int64_t> parse_utc_time(std::string_view text);
std::string format_utc_time(std::int64_t seconds);

enum class expiry_check { valid, missing, malformed, expired };
// The master record's "expires" value against the current time (seconds, UTC).
expiry_check check_expiry(const std::string& expires, std::int64_t now);
// Why a record was refused, for the log.
const char* expiry_problem(expiry_check result);
