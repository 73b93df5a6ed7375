#include "rollout.h"

#include "hex_text.h"
#include "md5.h"
#include "version_info.h"

#include <algorithm>

namespace {

constexpr std::size_t identity_bytes = 16;
// The system error for a file that is not there.
constexpr unsigned long file_not_found = 2;

} // namespace

std::optional<int> parse_rollout_percent(std::string_view text) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int percent = 0;
    for (const char digit : text)
        percent = percent * 10 + (digit - '0');
    return percent <= full_rollout ? std::optional(percent) : std::nullopt;
}

std::optional<int> rollout_percent_of(const master_record& record) {
    const auto& pieces = record.values();
    if (pieces.find(rollout_key) == pieces.end())
        return full_rollout;
    return parse_rollout_percent(record.value(rollout_key));
}

std::string identity_text(const unsigned char (&random)[16]) {
    return hex_of(random);
}

bool is_identity_text(std::string_view text) {
    const std::optional<std::string> bytes = bytes_from_hex(text);
    return bytes && bytes->size() == identity_bytes;
}

identity_file_state state_of(const identity_file_reading& reading) {
    if (reading.error == file_not_found)
        return identity_file_state::replaceable;
    if (reading.error != 0)
        return identity_file_state::unreadable;
    return is_identity_text(reading.text) ? identity_file_state::valid
                                          : identity_file_state::replaceable;
}

int rollout_bucket(std::string_view identity, std::int32_t version) {
    const std::string sample = std::string(identity) + "/" + std::to_string(version);
    const std::array<unsigned char, 16> digest = md5_of_bytes(sample);
    const std::uint32_t number = std::uint32_t{digest[0]} | std::uint32_t{digest[1]} << 8 |
                                 std::uint32_t{digest[2]} << 16 | std::uint32_t{digest[3]} << 24;
    return static_cast<int>(number % 100);
}
