// The parts of an HTTP response that the download reads without WinINet, in the
// order a request reads them: status, Content-Length, Content-Range (for a range
// request), Connection and Content-Disposition. The input is the requested offset
// (8 bytes) and then one header text per line.

#include "fuzz_support.h"

#include "http_parsing.h"
#include "transfer_error.h"

#include <array>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>

namespace {

// WinINet hands each header over in a buffer of this size, NUL-terminated.
using header_buffer = std::array<char, 1024>;

header_buffer header_text(std::string_view line) {
    header_buffer buffer{};
    line.copy(buffer.data(), buffer.size() - 1);
    return buffer;
}

bool is_fixed_error(const transfer_error& error) {
    return error.code == transfer_error::network &&
           (std::strcmp(error.message, "Unexpected status code from HTTP server") == 0 ||
            std::strcmp(error.message, "Inconsistent range data") == 0);
}

// The body's start and length as the request works them out; the end of the body
// must stay within the 64-bit offsets of the sinks.
void check_body(int status, std::int64_t requested_offset, const header_buffer& content_length,
                const header_buffer& content_range) {
    try {
        const std::int64_t offset = accepted_offset(status, requested_offset);
        require(offset == 0 || (status == 206 && offset == requested_offset && offset > 0),
                "a body starts at 0, or at the requested offset of a 206");
        std::int64_t length = parse_content_length(content_length.data());
        require(length >= 0, "a Content-Length is never negative");
        if (offset > 0) {
            length = checked_range_length(content_range.data(), offset, length);
            require(length >= 0 && length <= std::numeric_limits<std::int64_t>::max() - offset,
                    "the body ends within 64-bit offsets");
        }
    } catch (const transfer_error& error) {
        require(is_fixed_error(error), "a refused response raises one of the fixed errors");
    }
}

void check_keep_alive(const header_buffer& connection) {
    std::string lowered(connection.data());
    for (char& c : lowered)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    require(is_keep_alive_value(connection.data()) == (lowered == "keep-alive"),
            "keep-alive is recognised in any letter case and nothing else is");
}

void check_filename(header_buffer disposition) {
    const char* name = quoted_filename(disposition.data());
    if (name == nullptr)
        return;
    require(name > disposition.data() && name < disposition.data() + disposition.size(),
            "the name lies inside the header's buffer");
    require(std::strchr(name, '"') == nullptr, "the name holds no quote");
    std::string before(static_cast<const char*>(disposition.data()), name);
    for (char& c : before)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    require(before.ends_with("filename=\""), "the name follows filename=\"");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input input(data, size);
    const std::int64_t requested_offset = input.take_integer<std::int64_t>();
    const header_buffer status_text = header_text(input.take_line());
    const header_buffer content_length = header_text(input.take_line());
    const header_buffer content_range = header_text(input.take_line());
    const header_buffer connection = header_text(input.take_line());
    const header_buffer disposition = header_text(input.take_line());
    const int status = parse_status_code(status_text.data());
    if (!is_redirect_status(status))
        check_body(status, requested_offset, content_length, content_range);
    check_keep_alive(connection);
    check_filename(disposition);
    return 0;
}
