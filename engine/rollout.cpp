#include "rollout.h"

#include "md5.h"
#include "version_info.h"

#include <algorithm>

namespace {

constexpr std::size_t identity_bytes = 16;
constexpr char hex_digits[] = "0123456789abcdef";

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

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
    std::string text;
    for (const unsigned char byte : random) {
        text += hex_digits[byte >> 4];
        text += hex_digits[byte & 0xF];
    }
    return text;
}

bool is_identity_text(std::string_view text) {
    return text.size() == 2 * identity_bytes && std::all_of(text.begin(), text.end(), is_lower_hex);
}

int rollout_bucket(std::string_view identity, std::int32_t version) {
    const std::string sample = std::string(identity) + "/" + std::to_string(version);
    md5_context context;
    md5_init(context);
    md5_update(context, sample.data(), sample.size());
    unsigned char digest[16];
    md5_final(context, digest);
    const std::uint32_t number = std::uint32_t{digest[0]} | std::uint32_t{digest[1]} << 8 |
                                 std::uint32_t{digest[2]} << 16 | std::uint32_t{digest[3]} << 24;
    return static_cast<int>(number % 100);
}
