// The rules that keep server names inside the installation, and how names go
// into URLs.

#include "name_rules.h"

#include <gtest/gtest.h>

TEST(NameRules, AcceptsPlainRelativeNames) {
    for (const char* name : {"app.exe", "sub\\data.bin", "a/b/c.txt", "Tõõtäiendus ülevaade.txt",
                             "..hidden", "a..b", "CONSOLE.txt", "COM0", "LPT10"})
        EXPECT_TRUE(is_safe_relative_name(name)) << name;
}

TEST(NameRules, RefusesNamesThatLeaveTheDirectoryOrNameADevice) {
    for (const char* name : {"",
                             "\\app.exe",
                             "/etc/passwd",
                             "C:\\Windows\\x.exe",
                             "C:x.exe",
                             "\\\\host\\share\\x",
                             "..\\x",
                             "sub\\..\\..\\x",
                             "sub/../x",
                             "..",
                             ".",
                             "sub\\.\\x",
                             "... ",
                             "sub\\\\x",
                             "sub\\",
                             "file.txt:stream",
                             "a\tb",
                             "a<b",
                             "a>b",
                             "a|b",
                             "a?b",
                             "a*b",
                             "a\"b",
                             "CON",
                             "nul.txt",
                             "sub\\aux",
                             "Com1.log",
                             "lpt9",
                             "PRN .txt",
                             "\xff\xfe.txt"})
        EXPECT_FALSE(is_safe_relative_name(name)) << name;
}

TEST(NameRules, ARecordSetIsSafeOnlyWhenEveryNameIs) {
    version_info info(version_info::standard_magic, version_info::standard_format);
    for (const char* name : {"a.txt", "sub\\b.txt"}) {
        info.files.push_back(std::make_unique<file_info>());
        info.files.back()->name = name;
    }
    EXPECT_TRUE(names_stay_inside(info));
    info.files.push_back(std::make_unique<file_info>());
    info.files.back()->name = "..\\evil.exe";
    EXPECT_FALSE(names_stay_inside(info));
}

TEST(NameRules, UrlNamesEscapeWhatAServerWouldReadOtherwise) {
    EXPECT_EQ(url_escaped_name("sub\\plain-name_1.bin"), "sub\\plain-name_1.bin");
    EXPECT_EQ(url_escaped_name("Tõõ ü.txt"), "T%C3%B5%C3%B5%20%C3%BC.txt");
    EXPECT_EQ(url_escaped_name("100%#1?.txt"), "100%25%231%3F.txt");
}

TEST(NameRules, AliasKeysMeetForNamesOfOneFileOnly) {
    EXPECT_EQ(file_alias_key("Sub/File.TXT"), file_alias_key("sub\\file.txt"));
    EXPECT_EQ(file_alias_key("dir. \\name.txt. "), file_alias_key("DIR\\NAME.TXT"));
    EXPECT_EQ(file_alias_key("Õun.txt"), file_alias_key("õun.txt"));
    EXPECT_NE(file_alias_key("a\\b.txt"), file_alias_key("ab.txt"));
    EXPECT_NE(file_alias_key("Õun.txt"), file_alias_key("un.txt"));
    EXPECT_NE(file_alias_key("a.txt"), file_alias_key("b.txt"));
}
