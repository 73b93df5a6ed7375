#include "version_info.h"

#include <gtest/gtest.h>

namespace {

master_record parsed(const std::string& text) {
    master_record record;
    parse_master_version(text, record);
    return record;
}

} // namespace

TEST(MasterVersion, DollarSeparatedPiecesGiveTheirPairs) {
    const master_record record = parsed("version=12$patches=10_12,11_12$startapp=app.exe");
    EXPECT_EQ(record.values().size(), 3u);
    EXPECT_EQ(record.value("version"), "12");
    EXPECT_EQ(record.value("patches"), "10_12,11_12");
    EXPECT_EQ(record.value("startapp"), "app.exe");
    EXPECT_EQ(record.value("force_releasenotes"), "");
    EXPECT_EQ(record.repeated_key(), std::nullopt);
}

TEST(MasterVersion, ValuesAreTrimmedButKeysKeptVerbatim) {
    const master_record record = parsed("version =3$\nstartapp=app.exe$patches= \t1_2 \r\n\v\f");
    EXPECT_EQ(record.value("version "), "3");
    EXPECT_EQ(record.value("version"), "");
    EXPECT_EQ(record.value("\nstartapp"), "app.exe");
    EXPECT_EQ(record.value("startapp"), "");
    EXPECT_EQ(record.value("patches"), "1_2");
}

TEST(MasterVersion, LaterKeysWinAreNotedAndOnlyTheFirstEqualsSeparates) {
    const master_record record = parsed("formula=a=b=c$version=3$version=4$formula=$version=5");
    EXPECT_EQ(record.value("version"), "5");
    EXPECT_EQ(record.value("formula"), "");
    EXPECT_EQ(record.repeated_key(), "version");
    EXPECT_EQ(parsed("formula=a=b=c").value("formula"), "a=b=c");
}

TEST(MasterVersion, PiecesWithoutEqualsAndATrailingDollarAddNothing) {
    EXPECT_EQ(parsed("version=5$").values().size(), 1u);
    EXPECT_EQ(parsed("no pairs here$at all").values().size(), 0u);
    EXPECT_EQ(parsed("").values().size(), 0u);
    const master_record record = parsed("=empty key$$x=");
    EXPECT_EQ(record.values().size(), 2u);
    EXPECT_EQ(record.value(""), "empty key");
    EXPECT_EQ(record.value("x"), "");
}
