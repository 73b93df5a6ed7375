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
// Offsets are 32-bit in the sinks; `long` is wider on some builds, and a number
// that does not fit saturates as the C runtime's %ld does on Windows.
constexpr long largest_offset = std::numeric_limits<std::int32_t>::max();
constexpr long smallest_offset = std::numeric_limits<std::int32_t>::min();

long saturated(long value) {
    return std::clamp(value, smallest_offset, largest_offset);
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

long accepted_offset(int status, long offset) {
    if (status == status_ok)
        return 0;
    if (status == status_partial_content && offset > 0)
        return offset;
    throw transfer_errors::unexpected_status;
}

long parse_content_length(const char* text) {
    long length = 0;
    std::sscanf(text, "%ld", &length);
    return std::max(saturated(length), 0L);
}

long checked_range_length(const char* content_range, long offset, long length) {
    long first = 1;
    long last = 0;
    std::sscanf(content_range, "bytes %ld-%ld", &first, &last);
    first = saturated(first);
    const std::int64_t range_length = std::int64_t{saturated(last)} - first + 1;
    // A range that ends before it starts, or whose end does not fit a 32-bit
    // offset, is as inconsistent as one that starts at another byte.
    if (first != offset || range_length < 0 || offset + range_length > largest_offset ||
        (length != 0 && length != range_length))
        throw transfer_errors::inconsistent_range;
    return static_cast<long>(range_length);
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
