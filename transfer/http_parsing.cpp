#include "http_parsing.h"

#include "transfer_errors.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr int status_ok = 200;
constexpr int status_partial_content = 206;
constexpr std::int64_t largest_offset = std::numeric_limits<std::int64_t>::max();

// Reads a decimal number as scanf's %lld would, after blanks and with an optional
// sign, from `text`; one too large for 64 bits saturates on every build. Returns
// where the number ends, or null (and `value` unchanged) when no digit follows.
const char* read_number(const char* text, std::int64_t& value) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    const bool negative = *text == '-';
    const char* digits = text + (*text == '-' || *text == '+');
    if (!std::isdigit(static_cast<unsigned char>(*digits)))
        return nullptr;
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    for (; std::isdigit(static_cast<unsigned char>(*digits)); ++digits)
        magnitude = std::min(limit, magnitude * 10 + static_cast<unsigned>(*digits - '0'));
    if (negative)
        value = magnitude == limit ? std::numeric_limits<std::int64_t>::min()
                                   : -static_cast<std::int64_t>(magnitude);
    else
        value = static_cast<std::int64_t>(std::min(magnitude, limit - 1));
    return digits;
}

bool equal_ignoring_case(char left, char right) {
    return std::tolower(static_cast<unsigned char>(left)) ==
           std::tolower(static_cast<unsigned char>(right));
}

bool equal_ignoring_case(std::string_view left, std::string_view right) {
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                      [](char l, char r) { return equal_ignoring_case(l, r); });
}

} // namespace

int parse_status_code(const char* text) {
    int status = 0;
    std::sscanf(text, "%d", &status);
    return status;
}

bool is_redirect_status(int status) {
    return status >= 300 && status <= 307;
}

std::int64_t accepted_offset(int status, std::int64_t offset) {
    if (status == status_ok)
        return 0;
    if (status == status_partial_content && offset > 0)
        return offset;
    throw transfer_errors::unexpected_status;
}

std::int64_t parse_content_length(const char* text) {
    std::int64_t length = 0;
    read_number(text, length);
    return std::max<std::int64_t>(length, 0);
}

// Content-Range read as "bytes %lld-%lld": the word, any blanks, the first byte, a
// dash and the last byte.
std::int64_t checked_range_length(const char* content_range, std::int64_t offset,
                                  std::int64_t length) {
    std::int64_t first = 1;
    std::int64_t last = 0;
    constexpr std::string_view word = "bytes";
    if (std::string_view(content_range).starts_with(word)) {
        const char* after_first = read_number(content_range + word.size(), first);
        if (after_first != nullptr && *after_first == '-')
            read_number(after_first + 1, last);
    }
    // A range that ends before it starts, or whose end does not fit a 64-bit
    // offset, is as inconsistent as one that starts at another byte. The first byte
    // equals the offset, which is positive, so the subtraction cannot overflow.
    if (first != offset || last < first - 1 || last == largest_offset)
        throw transfer_errors::inconsistent_range;
    const std::int64_t range_length = last - first + 1;
    if (length != 0 && length != range_length)
        throw transfer_errors::inconsistent_range;
    return range_length;
}

bool is_keep_alive_value(const char* connection) {
    return equal_ignoring_case(connection, "keep-alive");
}

char* quoted_filename(char* disposition) {
    constexpr std::string_view key = "filename=\"";
    const std::string_view value(disposition);
    const auto found = std::search(value.begin(), value.end(), key.begin(), key.end(),
                                   [](char l, char r) { return equal_ignoring_case(l, r); });
    if (found == value.end())
        return nullptr;
    char* name = disposition + (found - value.begin()) + key.size();
    char* closing_quote = std::strchr(name, '"');
    if (closing_quote == nullptr)
        return nullptr;
    *closing_quote = '\0';
    return name;
}
