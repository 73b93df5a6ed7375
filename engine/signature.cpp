#include "signature.h"

#include "hex_text.h"
#include "log_format.h"

#include <sodium.h>

#include <cstdio>

namespace {

constexpr std::int64_t microseconds_per_second = 1000000;

// The digits of text[first, first + count) as a number; nothing when one is not a digit.
std::optional<int> digits_at(std::string_view text, std::size_t first, std::size_t count) {
    int value = 0;
    for (const char digit : text.substr(first, count)) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        value = value * 10 + (digit - '0');
    }
    return value;
}

// The six numbers of "YYYY-MM-DDTHH:MM:SSZ", unchecked; nothing for another form.
std::optional<log_time> utc_fields(std::string_view text) {
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    const std::array fields{digits_at(text, 0, 4),  digits_at(text, 5, 2),  digits_at(text, 8, 2),
                            digits_at(text, 11, 2), digits_at(text, 14, 2), digits_at(text, 17, 2)};
    for (const auto& field : fields)
        if (!field)
            return std::nullopt;
    log_time time;
    time.year = *fields[0];
    time.month = *fields[1];
    time.day = *fields[2];
    time.hour = *fields[3];
    time.minute = *fields[4];
    time.second = *fields[5];
    return time;
}

bool is_leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
    constexpr std::array<int, 12> lengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

// Checked before any arithmetic: a day 0 or a month 13 would make the conversion
// to seconds overflow.
bool is_calendar_time(const log_time& time) {
    return time.month >= 1 && time.month <= 12 && time.day >= 1 &&
           time.day <= days_in_month(time.year, time.month) && time.hour <= 23 &&
           time.minute <= 59 && time.second <= 59;
}

} // namespace

std::optional<public_key> parse_public_key(std::string_view hex) {
    const std::optional<std::string> bytes = bytes_from_hex(hex);
    public_key key{};
    if (!bytes || bytes->size() != key.size())
        return std::nullopt;
    std::copy(bytes->begin(), bytes->end(), key.begin());
    return key;
}

std::string public_key_hex(const public_key& key) {
    return hex_of(key);
}

bool signature_matches(const public_key& key, std::string_view bytes, std::string_view signature) {
    return signature.size() == signature_size &&
           crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), key.data()) == 0;
}

std::optional<master_signature> split_master_signature(std::string_view record) {
    const std::string prefix = std::string("$") + master_signature_key + "=";
    const std::size_t piece = record.rfind('$');
    if (piece == std::string_view::npos || record.substr(piece, prefix.size()) != prefix)
        return std::nullopt;
    std::optional<std::string> signature = bytes_from_hex(record.substr(piece + prefix.size()));
    if (!signature || signature->size() != signature_size)
        return std::nullopt;
    return master_signature{record.substr(0, piece), std::move(*signature)};
}

std::string master_signature_piece(std::string_view signature) {
    return std::string("$") + master_signature_key + "=" + hex_of(signature);
}

std::optional<std::int64_t> parse_utc_time(std::string_view text) {
    const std::optional<log_time> time = utc_fields(text);
    if (!time || !is_calendar_time(*time))
        return std::nullopt;
    return log_time_to_microseconds(*time) / microseconds_per_second;
}

std::string format_utc_time(std::int64_t seconds) {
    const log_time time = log_time_from_microseconds(seconds * microseconds_per_second);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", time.year, time.month,
                  time.day, time.hour, time.minute, time.second);
    return text;
}

expiry_check check_expiry(const std::string& expires, std::int64_t now) {
    if (expires.empty())
        return expiry_check::missing;
    const auto until = parse_utc_time(expires);
    if (!until)
        return expiry_check::malformed;
    return *until > now ? expiry_check::valid : expiry_check::expired;
}

const char* expiry_problem(expiry_check result) {
    switch (result) {
    case expiry_check::valid:
        return "valid";
    case expiry_check::missing:
        return "no expiry date";
    case expiry_check::malformed:
        return "malformed expiry date";
    case expiry_check::expired:
        return "expired";
    }
    return "unknown";
}
