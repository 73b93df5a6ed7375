#include "file_helpers.h"
#include "logfile.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace fs = std::filesystem;

namespace {

std::string random_bytes(std::size_t count) {
    std::mt19937 generator(static_cast<std::mt19937::result_type>(count));
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

std::string sep(const std::string& a, const std::string& b) {
    return a + path_separator + b;
}

} // namespace

TEST(FileHelpers, OpenWriteAndCloseThroughTheStreamSlot) {
    scratch_directory dir;
    stdio_stream slot;
    ASSERT_TRUE(open_file_utf8("wb", slot, dir.file("out.bin")));
    EXPECT_EQ(write_file(slot, 5, "hello"), 5u);
    EXPECT_EQ(close_file(slot), 0);
    EXPECT_FALSE(slot);
    EXPECT_EQ(close_file(slot), 0);
    EXPECT_EQ(read_bytes(dir.file("out.bin")), "hello");
    EXPECT_FALSE(open_file_utf8("rb", slot, dir.file("missing")));
    EXPECT_FALSE(slot);
}

TEST(FileHelpers, CopyMovesEveryByteAcrossSeveralChunks) {
    scratch_directory dir;
    for (std::size_t size : {0u, 1u, 4194304u, 4194304u * 2 + 17}) {
        const std::string bytes = random_bytes(size);
        write_bytes(dir.file("source"), bytes);
        write_bytes(dir.file("destination"), "previous longer content");
        ASSERT_TRUE(copy_file_contents(dir.file("source"), dir.file("destination")));
        EXPECT_EQ(read_bytes(dir.file("destination")), bytes) << size;
    }
}

TEST(FileHelpers, CopyFromAMissingSourceLeavesNoDestination) {
    scratch_directory dir;
    EXPECT_FALSE(copy_file_contents(dir.file("missing"), dir.file("destination")));
    EXPECT_FALSE(fs::exists(dir.path() / "destination"));
    write_bytes(dir.file("source"), "x");
    EXPECT_FALSE(copy_file_contents(dir.file("source"), sep(dir.file("no-dir"), "destination")));
}

TEST(FileHelpers, CopyRefusesASourceOf2GiBOrMoreAndLeavesTheDestinationAlone) {
    scratch_directory dir;
    write_bytes(dir.file("destination"), "previous");
    // Sparse files, which take no room; the 32-bit position of 4 GiB is 0.
    for (const std::uintmax_t gibibytes : {2u, 3u, 4u}) {
        write_bytes(dir.file("huge"), "");
        fs::resize_file(utf8_path(dir.file("huge")), gibibytes << 30);
        EXPECT_FALSE(copy_file_contents(dir.file("huge"), dir.file("destination"))) << gibibytes;
        EXPECT_EQ(read_bytes(dir.file("destination")), "previous") << gibibytes;
    }
}

TEST(FileHelpers, CopyOntoAFullDiskReportsFailure) {
    scratch_directory dir;
    write_bytes(dir.file("source"), random_bytes(100000));
    EXPECT_FALSE(copy_file_contents(dir.file("source"), "/dev/full"));
}

TEST(FileHelpers, DeleteFileRemovesAndIgnoresMissingFiles) {
    scratch_directory dir;
    write_bytes(dir.file("doomed"), "x");
    delete_file_utf8(dir.file("doomed"));
    EXPECT_FALSE(fs::exists(dir.path() / "doomed"));
    delete_file_utf8(dir.file("doomed"));
}

TEST(FileHelpers, DeleteDirectoryRemovesTheTreeAndLogsEachRemoval) {
    scratch_directory dir;
    const std::string tree = dir.file("Temp");
    fs::create_directories(utf8_path(sep(sep(tree, "a"), "b")));
    write_bytes(sep(tree, "one"), "1");
    write_bytes(sep(sep(tree, "a"), "two"), "2");
    write_bytes(sep(sep(sep(tree, "a"), "b"), "three"), "3");
    ASSERT_TRUE(log_open(dir.file("ezo.log")));
    DeleteDirectory(tree + path_separator);
    ASSERT_TRUE(log_open(""));
    EXPECT_FALSE(fs::exists(utf8_path(tree)));
    const std::string log = read_bytes(dir.file("ezo.log"));
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find("] - _DeleteDirectory ", at)) != std::string::npos;
         ++at)
        ++lines;
    EXPECT_EQ(lines, 6u); // three files, three directories
}

TEST(FileHelpers, DeleteDirectoryOnAMissingPathLogsNothing) {
    scratch_directory dir;
    ASSERT_TRUE(log_open(dir.file("ezo.log")));
    DeleteDirectory(dir.file("missing"));
    ASSERT_TRUE(log_open(""));
    EXPECT_EQ(read_bytes(dir.file("ezo.log")).find("_DeleteDirectory"), std::string::npos);
}

TEST(FileHelpers, DeleteDirectoryRemovesLinksWithoutFollowingThem) {
    const char* tree = std::getenv("QM_LINK_TREE");
    ASSERT_NE(tree, nullptr);
    DeleteDirectory(sep(tree, "Temp"));
#ifndef _WIN32
    // Wine cannot remove a POSIX link to a directory through any Win32 call; it must
    // still leave the target alone.
    EXPECT_FALSE(fs::exists(utf8_path(sep(tree, "Temp"))));
#endif
    EXPECT_FALSE(fs::exists(utf8_path(sep(sep(tree, "Temp"), "sub"))));
    EXPECT_EQ(read_bytes(sep(sep(tree, "outside"), "keep")), "precious\n");
    EXPECT_TRUE(fs::is_directory(utf8_path(sep(sep(tree, "outside"), "inner"))));
}
