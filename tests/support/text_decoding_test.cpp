// Text from the server decoded as UTF-8 when it is, else as code page 1257.

#include "text_decoding.h"

#include <gtest/gtest.h>

TEST(TextDecoding, WellFormedUtf8IsKeptAsItIs) {
    for (const char* text : {"", "ascii", "Tõõtäiendus ülevaade", "\xF0\x9F\x98\x80 astral",
                             "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF"})
        EXPECT_EQ(decode_text_leniently(text), text);
}

TEST(TextDecoding, MalformedUtf8IsRejected) {
    for (const char* text : {"\xff", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                             "\xC3", "\xE2\x82", "a\x80", "\xF8\x88\x80\x80\x80"})
        EXPECT_FALSE(is_valid_utf8(text)) << text;
}

TEST(TextDecoding, Cp1257TextBecomesUtf8) {
    // "Tõõtäiendus ülevaade, šokolaad" as saved by a Baltic Windows editor.
    EXPECT_EQ(decode_text_leniently("T\xF5\xF5t\xE4iendus \xFClevaade, \xF0okolaad"),
              "Tõõtäiendus ülevaade, šokolaad");
    EXPECT_EQ(decode_text_leniently("\x80 \x81 \xFF"), "€ \xEF\xBF\xBD ˙");
    EXPECT_TRUE(is_valid_utf8(decode_text_leniently("\xC3\x28 mixed \xE4")));
}
