#include "scratch.h"
#include "stdio_stream.h"
#include "version_info.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Builds versioninfo.vif bytes by hand, field by field.
struct vif_bytes {
    std::string bytes;

    vif_bytes& text(const std::string& value) {
        bytes += value;
        return *this;
    }
    vif_bytes& byte(unsigned char value) {
        bytes += static_cast<char>(value);
        return *this;
    }
    vif_bytes& int32(std::int32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            byte(static_cast<unsigned char>(static_cast<std::uint32_t>(value) >> shift));
        return *this;
    }
    vif_bytes& header(std::int32_t version, std::int32_t count, unsigned char format = 1) {
        return text("QM_VIF").byte(format).int32(version).int32(count);
    }
    vif_bytes& record(const std::string& name, std::int32_t size, unsigned char flags,
                      unsigned char digest_fill, unsigned char digest_length = 16) {
        int32(static_cast<std::int32_t>(name.size())).text(name).int32(size).byte(flags);
        byte(digest_length);
        for (int i = 0; i < digest_length; ++i)
            byte(static_cast<unsigned char>(digest_fill + i));
        return *this;
    }
};

version_info standard_info() {
    return version_info(version_info::standard_magic, version_info::standard_format);
}

// Reads the bytes twice, from memory and through a real file, and checks that both
// readers agree on the outcome and on what they kept.
bool read_both_ways(const std::string& bytes, version_info& from_memory) {
    byte_reader memory(static_cast<std::int32_t>(bytes.size()), bytes.data());
    const bool memory_result = from_memory.read(memory);

    scratch_directory dir;
    write_bytes(dir.file("versioninfo.vif"), bytes);
    stdio_stream file;
    EXPECT_TRUE(open_file_utf8("rb", file, dir.file("versioninfo.vif")));
    byte_reader stream(file.get());
    version_info from_stream = standard_info();
    EXPECT_EQ(from_stream.read(stream), memory_result);
    EXPECT_EQ(from_stream.version, from_memory.version);
    EXPECT_EQ(from_stream.files.size(), from_memory.files.size());
    return memory_result;
}

} // namespace

TEST(VersionInfo, HeaderOnlyFileReadsAsAnEmptyVersion) {
    version_info info = standard_info();
    EXPECT_TRUE(read_both_ways(vif_bytes().header(7, 0).bytes, info));
    EXPECT_EQ(info.version, 7);
    EXPECT_TRUE(info.files.empty());
}

TEST(VersionInfo, FormatByteUpToOneIsAccepted) {
    version_info info = standard_info();
    EXPECT_TRUE(read_both_ways(vif_bytes().header(3, 0, 0).bytes, info));
    EXPECT_FALSE(read_both_ways(vif_bytes().header(3, 0, 2).bytes, info));
    EXPECT_FALSE(read_both_ways(vif_bytes().header(3, 0, 255).bytes, info));
}

TEST(VersionInfo, WrongOrShortHeadersAreRejected) {
    version_info info = standard_info();
    EXPECT_FALSE(read_both_ways("", info));
    EXPECT_FALSE(read_both_ways("QM_VI", info));
    EXPECT_FALSE(read_both_ways(vif_bytes().text("qm_vif").byte(1).int32(1).int32(0).bytes, info));
    const std::string header = vif_bytes().header(9, 0).bytes;
    for (std::size_t cut = 0; cut < header.size(); ++cut)
        EXPECT_FALSE(read_both_ways(header.substr(0, cut), info)) << cut;
}

TEST(VersionInfo, RecordsAreReadInOrderAndTrailingBytesIgnored) {
    version_info info = standard_info();
    const std::string bytes = vif_bytes()
                                  .header(12, 2)
                                  .record("app.exe", 1000, 0, 1)
                                  .record("data\\pakk.dat", -1, 0x81, 50)
                                  .text("trailing garbage")
                                  .bytes;
    ASSERT_TRUE(read_both_ways(bytes, info));
    ASSERT_EQ(info.files.size(), 2u);
    EXPECT_EQ(info.files[0]->name, "app.exe");
    EXPECT_EQ(info.files[0]->size, 1000u);
    EXPECT_EQ(info.files[0]->digest[15], 16);
    EXPECT_EQ(info.files[1]->name, "data\\pakk.dat");
    // The size field is unsigned: these bytes stand for 4 GiB - 1.
    EXPECT_EQ(info.files[1]->size, 0xFFFFFFFFu);
    EXPECT_EQ(info.files[1]->flags, 0x81);
    EXPECT_EQ(info.files[1]->digest[0], 50);
}

TEST(VersionInfo, AnInvalidRecordFailsTheReadAndKeepsTheRecordsBeforeIt) {
    for (const std::string& bad :
         {vif_bytes().record("zero", 0, 0, 1).bytes, vif_bytes().record("", 5, 0, 1).bytes,
          vif_bytes()
              .record("nodigest", 5, 0, 0)
              .bytes.replace(4 + 8 + 4 + 2, 16, std::string(16, '\0'))}) {
        version_info info = standard_info();
        const std::string bytes =
            vif_bytes().header(4, 3).record("good", 1, 0, 1).text(bad).record("x", 1, 0, 1).bytes;
        EXPECT_FALSE(read_both_ways(bytes, info));
        EXPECT_EQ(info.version, 4);
        ASSERT_EQ(info.files.size(), 1u);
        EXPECT_EQ(info.files[0]->name, "good");
    }
}

TEST(VersionInfo, FewerRecordsThanAnnouncedOrATruncatedRecordFail) {
    version_info info = standard_info();
    const std::string two =
        vif_bytes().header(4, 2).record("a", 1, 0, 1).record("b", 2, 0, 1).bytes;
    EXPECT_FALSE(read_both_ways(vif_bytes().header(4, 3).record("a", 1, 0, 1).bytes, info));
    for (std::size_t cut = 15; cut < two.size(); ++cut)
        EXPECT_FALSE(read_both_ways(two.substr(0, cut), info)) << cut;
    EXPECT_TRUE(read_both_ways(two, info));
}

TEST(VersionInfo, DigestLengthsOtherThan16MakeTheRecordInvalid) {
    for (unsigned char length : {0, 15, 17, 255}) {
        version_info info = standard_info();
        const std::string bytes =
            vif_bytes().header(4, 1).record("a", 1, 0, 1, length).text(std::string(300, 'z')).bytes;
        EXPECT_FALSE(read_both_ways(bytes, info)) << int(length);
        EXPECT_TRUE(info.files.empty());
    }
}

TEST(VersionInfo, HugeLengthFieldsFailWithoutHugeAllocations) {
    version_info info = standard_info();
    // A name of 2 GiB - 1 bytes, a negative name length, and 2^31 - 1 records.
    EXPECT_FALSE(
        read_both_ways(vif_bytes().header(4, 1).int32(0x7fffffff).text("abc").bytes, info));
    EXPECT_FALSE(read_both_ways(vif_bytes().header(4, 1).int32(-5).text("abc").bytes, info));
    EXPECT_FALSE(
        read_both_ways(vif_bytes().header(4, 0x7fffffff).record("a", 1, 0, 1).bytes, info));
    EXPECT_EQ(info.files.size(), 1u);
}

TEST(VersionInfo, StreamReaderGrowsForItemsLargerThanItsBuffer) {
    version_info info = standard_info();
    const std::string long_name(5000, 'n');
    ASSERT_TRUE(read_both_ways(vif_bytes().header(1, 1).record(long_name, 3, 0, 9).bytes, info));
    EXPECT_EQ(info.files[0]->name, long_name);
}

TEST(VersionInfo, WriteThenReadGivesTheSameRecords) {
    scratch_directory dir;
    version_info original = standard_info();
    original.version = 42;
    for (int i = 0; i < 3; ++i) {
        auto record = std::make_unique<file_info>();
        record->name = "file" + std::to_string(i) + "\xC3\xA4";
        record->size = 100 + i;
        record->flags = static_cast<std::uint8_t>(0xF0 | i);
        record->digest.fill(static_cast<unsigned char>(i + 1));
        original.files.push_back(std::move(record));
    }
    stdio_stream file;
    ASSERT_TRUE(open_file_utf8("wb", file, dir.file("out.vif")));
    EXPECT_TRUE(original.write(file.get()));
    ASSERT_EQ(close_file(file), 0);

    const std::string bytes = read_bytes(dir.file("out.vif"));
    EXPECT_EQ(bytes.substr(0, 7), std::string("QM_VIF\x01", 7));
    version_info back = standard_info();
    ASSERT_TRUE(read_both_ways(bytes, back));
    EXPECT_EQ(back.version, 42);
    ASSERT_EQ(back.files.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(back.files[i]->name, original.files[i]->name);
        EXPECT_EQ(back.files[i]->size, original.files[i]->size);
        EXPECT_EQ(back.files[i]->flags, original.files[i]->flags);
        EXPECT_EQ(back.files[i]->digest, original.files[i]->digest);
    }
}

// The look-up keeps an index: it must follow records appended after a look-up and
// forget the records of a cleared or re-read file.
TEST(VersionInfo, FindMatchesNamesExactlyAndFollowsTheRecords) {
    version_info info = standard_info();
    ASSERT_TRUE(read_both_ways(
        vif_bytes().header(5, 2).record("App.exe", 1, 0, 1).record("App.exe", 2, 0, 1).bytes,
        info));
    ASSERT_NE(info.find("App.exe"), nullptr);
    EXPECT_EQ(info.find("App.exe")->size, 1);
    EXPECT_EQ(info.find("app.exe"), nullptr);
    EXPECT_EQ(info.find("App.exe "), nullptr);
    info.files.push_back(std::make_unique<file_info>(*info.files[0]));
    info.files.back()->name = "app.exe";
    EXPECT_EQ(info.find("app.exe"), info.files.back().get());

    ASSERT_TRUE(read_both_ways(vif_bytes().header(6, 1).record("App.exe", 3, 0, 1).bytes, info));
    ASSERT_NE(info.find("App.exe"), nullptr);
    EXPECT_EQ(info.find("App.exe")->size, 3);
    EXPECT_EQ(info.find("app.exe"), nullptr);
    info.clear();
    EXPECT_EQ(info.version, 0);
    EXPECT_TRUE(info.files.empty());
    EXPECT_EQ(info.find("App.exe"), nullptr);
    EXPECT_EQ(info.magic, "QM_VIF");
}
