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
#include <vector>

using public_key = std::array<unsigned char, 32>;
// The keys a launcher takes releases from: one, or up to four while releases move
// from one key to another.
using key_ring = std::vector<public_key>;
constexpr std::size_t most_release_keys = 4;

constexpr std::size_t signature_size = 64;
constexpr const char* signature_suffix = ".sig";
constexpr const char* expires_key = "expires";
constexpr const char* master_signature_key = "sig";
// The product a signed master record was made for.
constexpr const char* master_product_key = "product";

// A key written as 64 lower-case hex digits; nothing for any other text.
std::optional<public_key> parse_public_key(std::string_view hex);
std::string public_key_hex(const public_key& key);

// Keys written as hex and separated by commas, each once, one to four of them;
// nothing for any other text.
std::optional<key_ring> parse_key_ring(std::string_view text);
std::string key_ring_text(const key_ring& keys);
// A key's name in logs and reports: its first 16 hex digits.
std::string key_id(const public_key& key);
// "id, id", or "none".
std::string key_ids(const key_ring& keys);

// True when the signature is the key's detached signature of exactly these bytes.
bool signature_matches(const public_key& key, std::string_view bytes, std::string_view signature);
// True when it is the signature of one of the keys.
bool signature_matches_any(const key_ring& keys, std::string_view bytes,
                           std::string_view signature);

// Further keys' detached signatures, in "<file>.sigs" beside "<file>.sig" (which
// holds the first key's, the one launchers in the field check): one line per key
// that signed, "<key in 64 hex digits> <signature in 128 hex digits>".
constexpr const char* signature_list_suffix = ".sigs";
struct keyed_signature {
    public_key key;
    std::string signature;
};
// Nothing for a text of another form.
std::optional<std::vector<keyed_signature>> parse_signature_list(std::string_view text);
std::string signature_list_text(const std::vector<keyed_signature>& signatures);
// True when a line of one of the keys holds its signature of the bytes.
bool signature_list_matches(const key_ring& keys, std::string_view bytes,
                            const std::vector<keyed_signature>& signatures);

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

// Several keys sign a master record as a chain of such pieces, each signing every
// byte before its "$": "...$sig2=<third key>$sig1=<second key>$sig=<first key>".
// A launcher that holds only the first key checks the last piece, as launchers in
// the field do, and each key name appears once. The record also names the keys that
// signed, "keys=<id>,<id>", in the order of the pieces from the last one.
constexpr const char* master_keys_key = "keys";
// "sig" for the first key, "sig<n>" for the next ones.
std::string master_signature_key_for(std::size_t key_index);
std::string master_signature_piece(std::size_t key_index, std::string_view signature);
// The pieces of the chain at the record's end, the last one first; empty when the
// record does not end in "$sig=".
std::vector<master_signature> master_signature_chain(std::string_view record);
// True when a piece of the chain holds one of the keys' signatures.
bool master_signed_by_any(const key_ring& keys, std::string_view record);

// Seconds since 1970-01-01 UTC of "YYYY-MM-DDTHH:MM:SSZ"; nothing for any other text
// or an impossible date.
std::optional<std::int64_t> parse_utc_time(std::string_view text);
std::string format_utc_time(std::int64_t seconds);

enum class expiry_check { valid, missing, malformed, expired };
// The master record's "expires" value against the current time (seconds, UTC).
expiry_check check_expiry(const std::string& expires, std::int64_t now);
// Why a record was refused, for the log.
const char* expiry_problem(expiry_check result);
