#include "signature.h"

#include "log_format.h"

#include <sodium.h>

#include <cstdio>

namespace {

constexpr const char* hex_digits = "0123456789abcdef";

std::optional<int> hex_value(char digit) {
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    return std::nullopt;
}

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

bool same_second(const log_time& a, const log_time& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

} // namespace

std::optional<public_key> parse_public_key(std::string_view hex) {
    public_key key{};
    if (hex.size() != key.size() * 2)
        return std::nullopt;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const auto high = hex_value(hex[2 * i]);
        const auto low = hex_value(hex[2 * i + 1]);
        if (!high || !low)
            return std::nullopt;
        key[i] = static_cast<unsigned char>(*high * 16 + *low);
    }
    return key;
}

std::string public_key_hex(const public_key& key) {
    std::string hex;
    for (const unsigned char byte : key) {
        hex += hex_digits[byte >> 4];
        hex += hex_digits[byte & 15];
    }
    return hex;
}

bool signature_matches(const public_key& key, std::string_view bytes, std::string_view signature) {
    return signature.size() == signature_size &&
           crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), key.data()) == 0;
}

std::optional<std::int64_t> parse_utc_time(std::string_view text) {
    const std::optional<log_time> time = utc_fields(text);
    if (!time || time->month < 1 || time->month > 12)
        return std::nullopt;
    // An impossible date or time (February 30, 24:00:00) does not read back the same.
    const std::int64_t microseconds = log_time_to_microseconds(*time);
    if (!same_second(log_time_from_microseconds(microseconds), *time))
        return std::nullopt;
    return microseconds / microseconds_per_second;
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
