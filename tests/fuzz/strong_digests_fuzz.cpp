// The SHA-256 record of a signed release, as the server sends it. A record that
// reads writes itself again in one form, which reads back to the same record.

#include "fuzz_support.h"

#include "strong_digests.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto record = parse_strong_digests(text);
    if (!record)
        return 0;
    const std::string written = record->text();
    require(written.size() == text.size(), "a record's lines are all written again");
    const auto again = parse_strong_digests(written);
    require(again && again->text() == written, "a written record reads back unchanged");
    return 0;
}
