// The signed-release check on bytes from the server. Input: a master record (one
// line), then a public key, a detached signature and the bytes it claims to sign.
// The record's expiry, when readable, reads back unchanged and is valid until
// exactly that second; a signature piece, when found, holds a whole signature and
// together with the bytes before it makes up the record, and so does each piece of a
// chain of them. A list of keyed signatures reads back unchanged.

#include "fuzz_support.h"

#include "signature.h"
#include "version_info.h"

#include <string>

namespace {

void check_expiry_text(const std::string& text) {
    const auto seconds = parse_utc_time(text);
    if (!seconds) {
        require(check_expiry(text, 0) != expiry_check::valid, "an unreadable expiry is refused");
        return;
    }
    require(format_utc_time(*seconds) == text, "a readable expiry reads back unchanged");
    require(check_expiry(text, *seconds - 1) == expiry_check::valid, "valid before its time");
    require(check_expiry(text, *seconds) == expiry_check::expired, "expired at its time");
}

// Each piece of a chain signs a shorter part of the record than the one after it.
void check_signature_chain(const std::string& record) {
    std::string_view after = record;
    for (const master_signature& piece : master_signature_chain(record)) {
        require(piece.signed_bytes.size() < after.size() &&
                    after.substr(0, piece.signed_bytes.size()) == piece.signed_bytes,
                "a chain's pieces sign ever shorter beginnings of the record");
        after = piece.signed_bytes;
    }
}

void check_signature_list(std::string_view text) {
    const auto list = parse_signature_list(text);
    require(!list || signature_list_text(*list) == text, "a signature list reads back unchanged");
}

void check_signature_piece(const public_key& key, const std::string& record) {
    check_signature_chain(record);
    const auto split = split_master_signature(record);
    if (!split)
        return;
    require(split->signature.size() == signature_size, "a signature piece holds a whole signature");
    require(std::string(split->signed_bytes) + master_signature_piece(split->signature) == record,
            "the signed bytes and the piece make up the record");
    static_cast<void>(signature_matches(key, split->signed_bytes, split->signature));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input input(data, size);
    const std::string record(input.take_line());
    master_record master;
    parse_master_version(record, master);
    check_expiry_text(master.value(expires_key));
    public_key key{};
    const std::string_view key_bytes = input.take_bytes(key.size());
    std::copy(key_bytes.begin(), key_bytes.end(), key.begin());
    check_signature_piece(key, record);
    check_signature_list(fuzz_input(input).rest());
    const std::string_view signature = input.take_bytes(signature_size);
    const bool matched = signature_matches(key, input.rest(), signature);
    require(!matched || signature.size() == signature_size, "only a whole signature matches");
    return 0;
}
