#include "utf8.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST(Utf8, EmptyInputGivesEmptyOutputInBothDirections) {
    EXPECT_EQ(utf8_to_wide(std::string()), L"");
    EXPECT_EQ(utf8_to_wide(static_cast<const char*>(nullptr)), L"");
    EXPECT_EQ(utf8_to_wide(""), L"");
    EXPECT_EQ(wide_to_utf8(std::wstring()), "");
    EXPECT_EQ(wide_to_utf8(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(wide_to_utf8(L""), "");
}

TEST(Utf8, EstonianAndAstralTextRoundTrips) {
    const std::string text =
        "Uuendusi ei leitud: \xC3\xB5\xC3\xA4\xC3\xB6\xC3\xBC \xF0\x9F\x98\x80";
    const std::wstring wide = utf8_to_wide(text);
    EXPECT_EQ(wide, L"Uuendusi ei leitud: \u00f5\u00e4\u00f6\u00fc \U0001F600");
    EXPECT_EQ(wide_to_utf8(wide), text);
    EXPECT_EQ(wide_to_utf8(wide.c_str()), text);
    EXPECT_EQ(utf8_to_wide(text.c_str()), wide);
}

TEST(Utf8, InvalidSequenceThrowsWithDirectionAndErrorCode) {
    try {
        utf8_to_wide(std::string("ok\xFF"));
        FAIL() << "no exception";
    } catch (const utf8_conversion_error& error) {
        EXPECT_STREQ(error.what(), "Invalid UTF-8 sequence found in input string.");
        EXPECT_EQ(error.direction(), 1);
        EXPECT_EQ(error.error_code(), ERROR_NO_UNICODE_TRANSLATION);
    }
    EXPECT_THROW(utf8_to_wide("\xC3"), std::runtime_error);
}

TEST(Utf8, StringObjectsKeepEmbeddedNulsAndCStringsStopAtThem) {
    const std::string with_nul("a\0b", 3);
    EXPECT_EQ(utf8_to_wide(with_nul), std::wstring(L"a\0b", 3));
    EXPECT_EQ(utf8_to_wide(with_nul.c_str()), L"a");
    EXPECT_EQ(wide_to_utf8(std::wstring(L"x\0y", 3)), std::string("x\0y", 3));
    EXPECT_EQ(wide_to_utf8(L"x\0y"), "x");
}
