#include "log_format.h"

#include <cstdio>

namespace {

constexpr const char* month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::int64_t microseconds_per_second = 1000000;
constexpr std::int64_t seconds_per_day = 86400;
constexpr std::int32_t elapsed_ms_form_limit = 10000;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

void civil_from_days(std::int64_t days, log_time& time) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    time.day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    time.month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    time.year =
        static_cast<int>(static_cast<std::int64_t>(year_of_era) + era * 400 + (time.month <= 2));
}

std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
    return value / divisor - (value % divisor < 0);
}

const char* month_name(int month) {
    return month >= 1 && month <= 12 ? month_names[month - 1] : "???";
}

} // namespace

std::int64_t log_time_to_microseconds(const log_time& time) {
    const std::int64_t days = days_from_civil(time.year, static_cast<unsigned>(time.month),
                                              static_cast<unsigned>(time.day));
    const std::int64_t seconds =
        days * seconds_per_day + time.hour * 3600 + time.minute * 60 + time.second;
    return seconds * microseconds_per_second + time.microsecond;
}

log_time log_time_from_microseconds(std::int64_t microseconds) {
    log_time time;
    const std::int64_t seconds = floor_div(microseconds, microseconds_per_second);
    time.microsecond = static_cast<int>(microseconds - seconds * microseconds_per_second);
    const std::int64_t days = floor_div(seconds, seconds_per_day);
    const std::int64_t second_of_day = seconds - days * seconds_per_day;
    civil_from_days(days, time);
    time.hour = static_cast<int>(second_of_day / 3600);
    time.minute = static_cast<int>(second_of_day / 60 % 60);
    time.second = static_cast<int>(second_of_day % 60);
    return time;
}

std::string format_log_timestamp(const log_time& time) {
    char text[64];
    int length =
        std::snprintf(text, sizeof text, "%04d-%s-%02d %02d:%02d:%02d", time.year,
                      month_name(time.month), time.day, time.hour, time.minute, time.second);
    if (time.microsecond != 0)
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                ".%06d", time.microsecond);
    return std::string(text, static_cast<std::size_t>(length));
}

std::string format_log_marker(const log_time& time) {
    log_time whole_second = time;
    whole_second.microsecond = 0;
    return "\n--- " + format_log_timestamp(whole_second) + " ---\n\n";
}

std::string format_log_line(std::uint32_t thread_id, const log_time& now,
                            std::int64_t elapsed_microseconds, std::string_view text) {
    // Only the low 32 bits of the millisecond count are shown, as a signed value.
    const auto elapsed_ms = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(elapsed_microseconds / 1000)));
    char head[96];
    const int head_length =
        elapsed_ms <= elapsed_ms_form_limit
            ? std::snprintf(head, sizeof head, "Th=%x %s [ %d ms ] - ", thread_id,
                            format_log_timestamp(now).c_str(), elapsed_ms)
            : std::snprintf(head, sizeof head, "Th=%x %s [ %d s ] - ", thread_id,
                            format_log_timestamp(now).c_str(), elapsed_ms / 1000);
    std::string line;
    line.reserve(256);
    line.append(head, static_cast<std::size_t>(head_length));
    // A text from the server (a sign-in page in place of a record) stays on its line.
    for (const char letter : text) {
        if (letter == '\n')
            line.append("\\n");
        else if (letter == '\r')
            line.append("\\r");
        else
            line.push_back(letter);
    }
    line.push_back('\n');
    return line;
}
