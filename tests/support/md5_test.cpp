#include "file_info.h"
#include "md5.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::string hex(const unsigned char* digest) {
    std::string text;
    char pair[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        text += pair;
    }
    return text;
}

std::string md5_of(const std::string& message) {
    md5_context context;
    md5_init(context);
    md5_update(context, message.data(), message.size());
    unsigned char digest[16];
    md5_final(context, digest);
    return hex(digest);
}

file_info record(const std::string& name, std::uint32_t size, unsigned char last_digest_byte) {
    file_info result;
    result.name = name;
    result.size = size;
    result.digest[15] = last_digest_byte;
    return result;
}

} // namespace

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5_of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_of("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, FeedingInPiecesGivesTheSameDigestAndFinishingWipesTheContext) {
    const std::string message(1000, 'q');
    md5_context context;
    md5_init(context);
    for (std::size_t at = 0, step = 1; at < message.size(); at += step, step = step % 97 + 7)
        md5_update(context, message.data() + at, std::min(step, message.size() - at));
    unsigned char digest[16];
    md5_final(context, digest);
    EXPECT_EQ(hex(digest), md5_of(message));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&context);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof context, [](unsigned char b) { return b == 0; }));
}

TEST(Md5, FileRecordsAgreeWithMd5sumOnAwkwardSizes) {
    const char* samples = std::getenv("QM_MD5_SAMPLES");
    ASSERT_NE(samples, nullptr);
    std::istringstream sums(read_bytes(std::string(samples) + path_separator + "md5sums.txt"));
    std::string expected;
    std::string name;
    int checked = 0;
    while (sums >> expected >> name) {
        const std::string path = std::string(samples) + path_separator + name;
        const file_info info = make_file_info(name, path);
        EXPECT_EQ(info.name, name);
        EXPECT_EQ(info.size, static_cast<std::int32_t>(read_bytes(path).size())) << name;
        EXPECT_EQ(info.flags, 0);
        EXPECT_EQ(hex(info.digest.data()), expected) << name;
        ++checked;
    }
    EXPECT_EQ(checked, 14);
}

TEST(Md5, EmptyAndMissingFilesGiveInvalidRecords) {
    scratch_directory dir;
    write_bytes(dir.file("empty"), "");
    const file_info empty = make_file_info("empty", dir.file("empty"));
    EXPECT_EQ(empty.size, 0);
    EXPECT_EQ(hex(empty.digest.data()), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_FALSE(file_info_valid(empty));

    const file_info missing = make_file_info("missing", dir.file("missing"));
    EXPECT_EQ(missing.name, "missing");
    EXPECT_EQ(missing.size, 0);
    EXPECT_EQ(missing.flags, 0);
    EXPECT_EQ(hex(missing.digest.data()), std::string(32, '0'));
    EXPECT_FALSE(file_info_valid(missing));
}

TEST(Md5, ValidityNeedsSizeNameAndANonZeroDigest) {
    EXPECT_TRUE(file_info_valid(record("a", 1, 1)));
    EXPECT_FALSE(file_info_valid(record("", 1, 1)));
    EXPECT_FALSE(file_info_valid(record("a", 0, 1)));
    EXPECT_TRUE(file_info_valid(record("a", 0xFFFFFFFFu, 1)));
    EXPECT_FALSE(file_info_valid(record("a", 1, 0)));
}

TEST(Md5, DigestsEqualComparesOnlyTheDigest) {
    EXPECT_TRUE(digests_equal(record("a", 1, 7), record("other", 99, 7)));
    EXPECT_FALSE(digests_equal(record("a", 1, 7), record("a", 1, 8)));
    file_info first_byte = record("a", 1, 7);
    first_byte.digest[0] = 1;
    EXPECT_FALSE(digests_equal(first_byte, record("a", 1, 7)));
}
