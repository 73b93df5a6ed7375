#include "signature.h"

#include "hex_text.h"
#include "log_format.h"

#include <sodium.h>

#include <algorithm>
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

// "$<key>=": built by appending, which GCC 12 does not misread as overlapping copies.
std::string master_signature_prefix(std::size_t key_index) {
    std::string prefix(1, '$');
    prefix.append(master_signature_key_for(key_index)).push_back('=');
    return prefix;
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

std::optional<key_ring> parse_key_ring(std::string_view text) {
    key_ring keys;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const auto key = parse_public_key(text.substr(start, comma - start));
        if (!key || std::find(keys.begin(), keys.end(), *key) != keys.end())
            return std::nullopt;
        keys.push_back(*key);
        start = comma + 1;
    }
    if (keys.size() > most_release_keys)
        return std::nullopt;
    return keys;
}

std::string key_ring_text(const key_ring& keys) {
    std::string text;
    for (const public_key& key : keys)
        text.append(text.empty() ? "" : ",").append(public_key_hex(key));
    return text;
}

std::string key_id(const public_key& key) {
    return public_key_hex(key).substr(0, 16);
}

std::string key_ids(const key_ring& keys) {
    std::string text;
    for (const public_key& key : keys)
        text.append(text.empty() ? "" : ", ").append(key_id(key));
    return text.empty() ? "none" : text;
}

bool signature_matches(const public_key& key, std::string_view bytes, std::string_view signature) {
    return signature.size() == signature_size &&
           crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), key.data()) == 0;
}

bool signature_matches_any(const key_ring& keys, std::string_view bytes,
                           std::string_view signature) {
    return std::any_of(keys.begin(), keys.end(), [&](const public_key& key) {
        return signature_matches(key, bytes, signature);
    });
}

std::optional<std::vector<keyed_signature>> parse_signature_list(std::string_view text) {
    constexpr std::size_t key_digits = 2 * sizeof(public_key);
    constexpr std::size_t line_size = key_digits + 1 + 2 * signature_size + 1;
    std::vector<keyed_signature> signatures;
    for (; text.size() >= line_size && signatures.size() < most_release_keys;
         text.remove_prefix(line_size)) {
        const auto key = parse_public_key(text.substr(0, key_digits));
        auto signature = bytes_from_hex(text.substr(key_digits + 1, 2 * signature_size));
        if (!key || !signature || text[key_digits] != ' ' || text[line_size - 1] != '\n')
            return std::nullopt;
        signatures.push_back({*key, std::move(*signature)});
    }
    if (!text.empty() || signatures.empty())
        return std::nullopt;
    return signatures;
}

std::string signature_list_text(const std::vector<keyed_signature>& signatures) {
    std::string text;
    for (const keyed_signature& signed_by : signatures)
        text += public_key_hex(signed_by.key) + " " + hex_of(signed_by.signature) + "\n";
    return text;
}

bool signature_list_matches(const key_ring& keys, std::string_view bytes,
                            const std::vector<keyed_signature>& signatures) {
    return std::any_of(signatures.begin(), signatures.end(), [&](const keyed_signature& line) {
        return std::find(keys.begin(), keys.end(), line.key) != keys.end() &&
               signature_matches(line.key, bytes, line.signature);
    });
}

std::optional<master_signature> split_master_signature(std::string_view record) {
    std::vector<master_signature> chain = master_signature_chain(record);
    if (chain.empty())
        return std::nullopt;
    return std::move(chain.front());
}

std::string master_signature_piece(std::string_view signature) {
    return master_signature_piece(0, signature);
}

std::string master_signature_key_for(std::size_t key_index) {
    std::string key = master_signature_key;
    if (key_index > 0)
        key.append(std::to_string(key_index));
    return key;
}

std::string master_signature_piece(std::size_t key_index, std::string_view signature) {
    return master_signature_prefix(key_index).append(hex_of(signature));
}

std::vector<master_signature> master_signature_chain(std::string_view record) {
    std::vector<master_signature> chain;
    for (std::size_t index = 0; index < most_release_keys; ++index) {
        const std::string prefix = master_signature_prefix(index);
        const std::size_t piece = record.rfind('$');
        if (piece == std::string_view::npos || record.substr(piece, prefix.size()) != prefix)
            break;
        std::optional<std::string> signature = bytes_from_hex(record.substr(piece + prefix.size()));
        if (!signature || signature->size() != signature_size)
            break;
        record = record.substr(0, piece);
        chain.push_back({record, std::move(*signature)});
    }
    return chain;
}

bool master_signed_by_any(const key_ring& keys, std::string_view record) {
    const std::vector<master_signature> chain = master_signature_chain(record);
    return std::any_of(chain.begin(), chain.end(), [&](const master_signature& piece) {
        return signature_matches_any(keys, piece.signed_bytes, piece.signature);
    });
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
