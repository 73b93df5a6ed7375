// The signed-release check on bytes from the server: the master record's expiry
// (a valid time reads back unchanged and is valid until exactly that second) and a
// signature check over any key, signature and record bytes.

#include "fuzz_support.h"

#include "signature.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input input(data, size);
    check_expiry_text(std::string(input.take_line()));
    public_key key{};
    const std::string_view key_bytes = input.take_bytes(key.size());
    std::copy(key_bytes.begin(), key_bytes.end(), key.begin());
    const std::string_view signature = input.take_bytes(signature_size);
    const std::string_view record = input.rest();
    const bool matched = signature_matches(key, record, signature);
    require(!matched || signature.size() == signature_size, "only a whole signature matches");
    return 0;
}
