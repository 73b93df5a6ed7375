#pragma once
// What a response's status and header texts mean for a download: which status is
// accepted, where the body starts, how long it is, whether the connection stays
// open and which file name the server gives. Header values arrive as
// NUL-terminated texts; a missing header is read as its fallback text. Offsets and
// lengths are 64-bit.

#include <cstdint>

inline constexpr const char* missing_content_length = "0";
inline constexpr const char* missing_content_range = "bytes 1-0/0";

// The status code as a decimal number; 0 when the text holds none.
int parse_status_code(const char* text);

bool is_redirect_status(int status);

// Where the body starts: a 200 sends the whole resource whatever range was asked,
// a 206 is accepted only for a range request (offset > 0). Throws transfer_error
// "Unexpected status code from HTTP server" for anything else.
std::int64_t accepted_offset(int status, std::int64_t offset);

// The Content-Length value; 0 when not given, and a negative length counts as none.
// A number too large for 64 bits saturates.
std::int64_t parse_content_length(const char* text);

// For a 206 to a range request (offset > 0): the body's length from Content-Range,
// which must start at `offset`, agree with `length` when that is given (not 0),
// not end before it starts and end within 64-bit offsets. Throws transfer_error
// "Inconsistent range data" otherwise.
std::int64_t checked_range_length(const char* content_range, std::int64_t offset,
                                  std::int64_t length);

// True when the Connection value is "keep-alive" in any letter case.
bool is_keep_alive_value(const char* connection);

// The name between the quotes of `filename="..."` (any letter case), cut out of
// the Content-Disposition value in place; null when the value has no such name or
// no closing quote.
char* quoted_filename(char* disposition);
