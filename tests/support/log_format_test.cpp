#include "log_format.h"

#include <gtest/gtest.h>

namespace {

log_time sample_time(int microsecond) {
    log_time time;
    time.year = 2015;
    time.month = 3;
    time.day = 3;
    time.hour = 9;
    time.minute = 15;
    time.second = 42;
    time.microsecond = microsecond;
    return time;
}

std::string line_with_elapsed(std::int64_t elapsed_microseconds) {
    return format_log_line(0x1a4c, sample_time(431250), elapsed_microseconds, "text");
}

} // namespace

TEST(LogFormat, TimestampHasFractionOnlyWhenMicrosecondsAreNotZero) {
    EXPECT_EQ(format_log_timestamp(sample_time(431250)), "2015-Mar-03 09:15:42.431250");
    EXPECT_EQ(format_log_timestamp(sample_time(7)), "2015-Mar-03 09:15:42.000007");
    EXPECT_EQ(format_log_timestamp(sample_time(0)), "2015-Mar-03 09:15:42");
}

TEST(LogFormat, EveryMonthHasItsEnglishAbbreviation) {
    const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int month = 1; month <= 12; ++month) {
        log_time time = sample_time(0);
        time.month = month;
        EXPECT_EQ(format_log_timestamp(time).substr(5, 3), names[month - 1]);
    }
}

TEST(LogFormat, MarkerIsToTheSecondBetweenBlankLines) {
    EXPECT_EQ(format_log_marker(sample_time(431250)), "\n--- 2015-Mar-03 09:15:42 ---\n\n");
}

TEST(LogFormat, LineCarriesThreadTimestampElapsedAndText) {
    EXPECT_EQ(format_log_line(0x1a4c, sample_time(431250), 0, "Quillomark Start"),
              "Th=1a4c 2015-Mar-03 09:15:42.431250 [ 0 ms ] - Quillomark Start\n");
    EXPECT_EQ(format_log_line(0xABCDEF01u, sample_time(0), 0, "").substr(0, 12), "Th=abcdef01 ");
}

TEST(LogFormat, LineBreaksOfTheTextStayOnTheLine) {
    EXPECT_EQ(format_log_line(0x1a4c, sample_time(0), 0, "MasterVersion: <p>\r\n<b>=x"),
              "Th=1a4c 2015-Mar-03 09:15:42 [ 0 ms ] - MasterVersion: <p>\\r\\n<b>=x\n");
}

TEST(LogFormat, ElapsedSwitchesToSecondsAbove10000Milliseconds) {
    EXPECT_NE(line_with_elapsed(10000000).find("[ 10000 ms ] - "), std::string::npos);
    EXPECT_NE(line_with_elapsed(10001000).find("[ 10 s ] - "), std::string::npos);
    EXPECT_NE(line_with_elapsed(65999000).find("[ 65 s ] - "), std::string::npos);
    EXPECT_NE(line_with_elapsed(1999).find("[ 1 ms ] - "), std::string::npos);
}

TEST(LogFormat, NegativeElapsedTruncatesTowardZeroInMilliseconds) {
    EXPECT_NE(line_with_elapsed(-1500).find("[ -1 ms ] - "), std::string::npos);
    EXPECT_NE(line_with_elapsed(-20000000).find("[ -20000 ms ] - "), std::string::npos);
}

TEST(LogFormat, ElapsedShowsOnlyTheLow32BitsOfTheMillisecondCount) {
    // 2^32 + 5 ms wraps to 5 ms.
    EXPECT_NE(line_with_elapsed((4294967296LL + 5) * 1000).find("[ 5 ms ] - "), std::string::npos);
}

TEST(LogFormat, MicrosecondCountRoundTripsThroughTheCalendar) {
    for (const log_time time : {sample_time(431250), sample_time(0)}) {
        const log_time back = log_time_from_microseconds(log_time_to_microseconds(time));
        EXPECT_EQ(format_log_timestamp(back), format_log_timestamp(time));
    }
    log_time leap_day = sample_time(999999);
    leap_day.year = 2024;
    leap_day.month = 2;
    leap_day.day = 29;
    leap_day.hour = 23;
    leap_day.minute = 59;
    leap_day.second = 59;
    const log_time next = log_time_from_microseconds(log_time_to_microseconds(leap_day) + 1);
    EXPECT_EQ(format_log_timestamp(next), "2024-Mar-01 00:00:00");
}
