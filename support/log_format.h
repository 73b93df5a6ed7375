#pragma once
// Text forms of the log: timestamps, the opening marker and one line.

#include <cstdint>
#include <string>
#include <string_view>

// A local calendar time with microseconds.
struct log_time {
    int year = 1970;
    int month = 1; // 1 to 12
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int microsecond = 0;
};

// Microseconds since 1970-01-01 00:00:00 of the same (local) calendar, and back.
std::int64_t log_time_to_microseconds(const log_time& time);
log_time log_time_from_microseconds(std::int64_t microseconds);

// "2015-Mar-03 09:15:42", with ".431250" when the microseconds are not zero.
std::string format_log_timestamp(const log_time& time);

// "\n--- 2015-Mar-03 09:15:42 ---\n\n" (always to the second).
std::string format_log_marker(const log_time& time);

// "Th=1a4c <timestamp> [ 12 ms ] - text\n"; an elapsed time above 10000 ms is
// written in whole seconds ("[ 10 s ] - "). Line breaks in the text are written as
// \n and \r.
std::string format_log_line(std::uint32_t thread_id, const log_time& now,
                            std::int64_t elapsed_microseconds, std::string_view text);
