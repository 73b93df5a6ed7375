// The file sinks' REGET rule with arbitrary offsets and counts: a sequence of
// writes, each split into compared and written bytes against what the file
// already holds.

#include "fuzz_support.h"

#include "reget_rule.h"

#include <algorithm>
#include <limits>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input input(data, size);
    std::int64_t known_length = input.take_integer<std::int64_t>();
    while (!input.empty()) {
        const auto offset = input.take_integer<std::int64_t>();
        const auto count = input.take_integer<std::int32_t>();
        const std::optional<reget_write> planned = plan_reget_write(known_length, offset, count);
        const std::int32_t arriving = std::max(count, 0);
        require(planned.has_value() ==
                    (offset >= 0 && offset <= std::numeric_limits<std::int64_t>::max() - arriving),
                "exactly the writes that fit 64-bit offsets are planned");
        if (!planned)
            continue;
        const reget_write& write = *planned;
        require(write.compared >= 0 && write.written >= 0, "no negative part");
        require(std::int64_t{write.compared} + write.written == arriving,
                "every arriving byte is compared or written");
        require(offset < known_length || write.compared == 0,
                "bytes at or past the known length are written, not compared");
        require(write.end == offset + arriving, "the result is the offset after the write");
        require(write.known_length == std::max(known_length, write.end),
                "the known length grows to the end written");
        known_length = write.known_length;
    }
    return 0;
}
