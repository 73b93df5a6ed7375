#include "rollout.h"
#include "version_info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace {

std::optional<int> percent_of_record(const std::string& text) {
    master_record record;
    parse_master_version(text, record);
    return rollout_percent_of(record);
}

} // namespace

// Known buckets (MD5 computed apart from this code): a change of the rule shows here.
TEST(Rollout, FixedIdentityAndVersionGiveAFixedBucket) {
    EXPECT_EQ(rollout_bucket("00000000000000000000000000000000", 1), 67);
    EXPECT_EQ(rollout_bucket("0123456789abcdef0123456789abcdef", 2), 25);
    EXPECT_EQ(rollout_bucket("ffffffffffffffffffffffffffffffff", 2147483647), 57);
}

TEST(Rollout, RandomIdentitiesFillEachShareWithinOnePoint) {
    constexpr int identities = 100000;
    std::mt19937 generator(28);
    std::uniform_int_distribution<int> byte(0, 255);
    int inside[3] = {};
    constexpr int shares[3] = {10, 50, 90};
    for (int i = 0; i < identities; ++i) {
        unsigned char random[16];
        for (unsigned char& b : random)
            b = static_cast<unsigned char>(byte(generator));
        const std::string identity = identity_text(random);
        ASSERT_TRUE(is_identity_text(identity)) << identity;
        const int bucket = rollout_bucket(identity, 7);
        for (int s = 0; s < 3; ++s)
            inside[s] += bucket < shares[s];
    }
    for (int s = 0; s < 3; ++s) {
        const double percent = 100.0 * inside[s] / identities;
        std::printf("rollout %d%%: %.2f%% of %d identities inside\n", shares[s], percent,
                    identities);
        EXPECT_NEAR(percent, shares[s], 1.0) << "share " << shares[s];
    }
}

TEST(Rollout, IdentityTextIsExactly32LowerCaseHexDigits) {
    const unsigned char random[16] = {0x00, 0x01, 0xab, 0xff, 0x10, 0x20, 0x30, 0x40,
                                      0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0};
    EXPECT_EQ(identity_text(random), "0001abff102030405060708090a0b0c0");
    EXPECT_FALSE(is_identity_text("0001ABFF102030405060708090A0B0C0"));
    EXPECT_FALSE(is_identity_text("0001abff102030405060708090a0b0c0\r\n"));
    EXPECT_FALSE(is_identity_text("0001abff102030405060708090a0b0c"));
    EXPECT_FALSE(is_identity_text("0001abff102030405060708090a0b0cg"));
    EXPECT_FALSE(is_identity_text(""));
}

TEST(Rollout, ShareIsAWholeNumberFrom0To100AndAbsentMeans100) {
    EXPECT_EQ(parse_rollout_percent("0"), 0);
    EXPECT_EQ(parse_rollout_percent("50"), 50);
    EXPECT_EQ(parse_rollout_percent("100"), 100);
    EXPECT_EQ(parse_rollout_percent("007"), 7);
    for (const char* bad : {"", "101", "-1", "+5", "5.5", "50%", " 5", "1000", "0x10"})
        EXPECT_EQ(parse_rollout_percent(bad), std::nullopt) << bad;

    EXPECT_EQ(percent_of_record("version=2$startapp=app.exe"), 100);
    EXPECT_EQ(percent_of_record("version=2$rollout= 25 $startapp=app.exe"), 25);
    EXPECT_EQ(percent_of_record("version=2$rollout=$startapp=app.exe"), std::nullopt);
    EXPECT_EQ(percent_of_record("version=2$rollout=half"), std::nullopt);
}

// Windows' errors: 2 no such file, 5 access denied, 32 sharing violation, 267 a folder.
TEST(Rollout, OnlyAMissingOrDamagedIdentityFileIsReplaced) {
    const std::string identity = "0123456789abcdef0123456789abcdef";
    EXPECT_EQ(state_of({0, identity}), identity_file_state::valid);
    EXPECT_EQ(state_of({0, identity + "\r\n"}), identity_file_state::replaceable);
    EXPECT_EQ(state_of({0, ""}), identity_file_state::replaceable);
    EXPECT_EQ(state_of({2, ""}), identity_file_state::replaceable);
    for (const unsigned long error : {5ul, 32ul, 267ul})
        EXPECT_EQ(state_of({error, ""}), identity_file_state::unreadable) << error;
}
