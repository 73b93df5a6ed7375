#include "file_helpers.h"
#include "scratch.h"
#include "utf8.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(DirectoryHelpers, EnsureDirectoryAcceptsDirectoriesAndRefusesFiles) {
    scratch_directory dir;
    EXPECT_TRUE(ensure_directory(dir.file("new")));
    EXPECT_TRUE(fs::is_directory(dir.path() / "new"));
    EXPECT_TRUE(ensure_directory(dir.file("new")));
    write_bytes(dir.file("plain"), "x");
    EXPECT_FALSE(ensure_directory(dir.file("plain")));
    EXPECT_FALSE(ensure_directory(dir.file("a\\b")));
}

TEST(DirectoryHelpers, CreateDirectoryPathBuildsTheWholeChain) {
    scratch_directory dir;
    EXPECT_TRUE(create_directory_path(dir.file("a\\b\\file.dat")));
    EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b"));
    EXPECT_FALSE(fs::exists(dir.path() / "a" / "b" / "file.dat"));

    EXPECT_TRUE(create_directory_path(dir.file("c\\d\\")));
    EXPECT_TRUE(fs::is_directory(dir.path() / "c" / "d"));

    EXPECT_TRUE(create_directory_path(dir.file("e/f\\g.dat")));
    EXPECT_TRUE(fs::is_directory(dir.path() / "e" / "f"));
}

TEST(DirectoryHelpers, CreateDirectoryPathWithoutBackslashCreatesThatName) {
    scratch_directory dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_TRUE(create_directory_path("lonely"));
    fs::current_path(previous);
    EXPECT_TRUE(fs::is_directory(dir.path() / "lonely"));
}

TEST(DirectoryHelpers, NonAsciiNamesWorkThroughEveryHelper) {
    scratch_directory dir;
    const std::string tree = dir.file("P\xC3\xA4ike");
    ASSERT_TRUE(create_directory_path(tree + "\\\xC3\xB5un\\fail.txt"));
    const std::string file = tree + "\\\xC3\xB5un\\fail.txt";
    write_bytes(file, "sisu");
    ASSERT_TRUE(copy_file_contents(file, tree + "\\koopia.txt"));
    EXPECT_EQ(read_bytes(tree + "\\koopia.txt"), "sisu");
    DeleteDirectory(tree);
    EXPECT_FALSE(fs::exists(utf8_path(tree)));
}

TEST(DirectoryHelpers, InvalidUtf8PathsThrowBeforeTouchingTheDisk) {
    EXPECT_THROW(ensure_directory("bad\xFF"), utf8_conversion_error);
    EXPECT_THROW(create_directory_path("bad\xFF\\x"), utf8_conversion_error);
    EXPECT_THROW(delete_file_utf8("bad\xFF"), utf8_conversion_error);
    EXPECT_THROW(copy_file_contents("bad\xFF", "x"), utf8_conversion_error);
    EXPECT_THROW(DeleteDirectory("bad\xFF"), utf8_conversion_error);
    stdio_stream slot;
    EXPECT_THROW(open_file_utf8("rb", slot, "bad\xFF"), utf8_conversion_error);
}
