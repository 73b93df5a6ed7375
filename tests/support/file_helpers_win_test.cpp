#include "file_helpers.h"
#include "logfile.h"
#include "long_paths.h"
#include "run_lock.h"
#include "scratch.h"
#include "utf8.h"
#include "win_handles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The lines DeleteDirectory logs for the tree, from their "_DeleteDirectory " on.
std::vector<std::string> logged_removals(const scratch_directory& dir, const std::string& tree) {
    EXPECT_TRUE(log_open(dir.file("ezo.log")));
    DeleteDirectory(tree);
    EXPECT_TRUE(log_open(""));
    std::istringstream log(read_bytes(dir.file("ezo.log")));
    std::vector<std::string> removals;
    for (std::string line; std::getline(log, line);) {
        const std::size_t start = line.find("_DeleteDirectory ");
        if (start != std::string::npos)
            removals.push_back(line.substr(start, line.find_last_not_of('\r') + 1 - start));
    }
    return removals;
}

std::string removal(DWORD error) {
    return "_DeleteDirectory " + std::system_category().message(static_cast<int>(error));
}

} // namespace

TEST(LongPaths, OnlyLongAbsolutePathsGetThePrefixWithBackslashes) {
    const std::wstring deep(300, L'a');
    EXPECT_EQ(with_long_path_prefix(L"C:/rel/" + deep), L"\\\\?\\C:\\rel\\" + deep);
    EXPECT_EQ(with_long_path_prefix(L"\\\\build\\share/" + deep),
              L"\\\\?\\UNC\\build\\share\\" + deep);
    EXPECT_EQ(with_long_path_prefix(L"//build/share/" + deep),
              L"\\\\?\\UNC\\build\\share\\" + deep);
    for (const std::wstring& kept :
         std::vector<std::wstring>{L"C:/rel/short.txt", L"\\\\?\\C:\\" + deep,
                                   L"\\\\.\\pipe\\" + deep, L"relative\\" + deep})
        EXPECT_EQ(with_long_path_prefix(kept), kept);
}

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

TEST(DirectoryHelpers, DeleteDirectoryLogsTheSystemsReasonForAFileHeldOpenAndItsParents) {
    scratch_directory dir;
    const std::string tree = dir.file("T");
    ASSERT_TRUE(create_directory_path(tree + "\\sub\\held.dat"));
    write_bytes(tree + "\\sub\\held.dat", "x");
    const file_handle held(CreateFileW(utf8_to_wide(tree + "\\sub\\held.dat").c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(
        logged_removals(dir, tree),
        (std::vector<std::string>{removal(ERROR_SHARING_VIOLATION), removal(ERROR_DIR_NOT_EMPTY),
                                  removal(ERROR_DIR_NOT_EMPTY)}));
}

// A read-only file is made writable and removed: it is no hold, and waiting would
// not help.
TEST(DirectoryHelpers, DeleteDirectoryRemovesAReadOnlyFile) {
    scratch_directory dir;
    const std::string tree = dir.file("T");
    ASSERT_TRUE(ensure_directory(tree));
    const std::wstring file = utf8_to_wide(tree + "\\kept.dat");
    write_bytes(tree + "\\kept.dat", "x");
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(logged_removals(dir, tree),
              (std::vector<std::string>{removal(ERROR_SUCCESS), removal(ERROR_SUCCESS)}));
    EXPECT_FALSE(fs::exists(fs::path(utf8_to_wide(tree))));
}

TEST(RunLock, EveryNameOfAFolderGivesOneGlobalLock) {
    scratch_directory dir;
    const std::wstring directory = utf8_to_wide(dir.file("Quillo mark õun"));
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    std::wstring short_form(MAX_PATH, L'\0');
    short_form.resize(GetShortPathNameW(directory.c_str(), short_form.data(), MAX_PATH));
    ASSERT_NE(short_form, directory);
    std::wstring upper = directory;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));

    const std::wstring name = run_lock_name(directory);
    EXPECT_EQ(name.find(L'\\'), std::wstring::npos);
    for (const std::wstring& spelling :
         {directory + L"\\", upper, short_form + L"\\", directory + L"\\.\\",
          directory + L"\\sub\\..\\", L"\\\\?\\" + directory, L"\\\\?\\" + upper + L"\\"})
        EXPECT_EQ(run_lock_name(spelling), name) << wide_to_utf8(spelling);
    EXPECT_NE(run_lock_name(directory + L" 2"), name);
    const char* link_tree = std::getenv("QM_LINK_TREE");
    ASSERT_NE(link_tree, nullptr);
    const std::wstring linked = utf8_to_wide(link_tree);
    EXPECT_EQ(run_lock_name(linked + L"\\outside link"), run_lock_name(linked + L"\\outside"));
    EXPECT_NE(run_lock_name(linked + L"\\outside"), run_lock_name(linked + L"\\Temp"));

    const run_lock first(directory);
    EXPECT_TRUE(first.first());
    EXPECT_EQ(first.name(), name);
    EXPECT_EQ(first.global_refusal(), 0u);
    EXPECT_TRUE(kernel_handle(OpenMutexW(SYNCHRONIZE, FALSE, (L"Global\\" + name).c_str())));
    EXPECT_FALSE(kernel_handle(OpenMutexW(SYNCHRONIZE, FALSE, (L"Local\\" + name).c_str())));
    EXPECT_FALSE(run_lock(L"\\\\?\\" + short_form).first());
    EXPECT_TRUE(run_lock(directory + L" 2").first());
}

TEST(RunLock, AGlobalNameThatCannotBeTakenLeavesTheLockToTheSession) {
    scratch_directory dir;
    const std::wstring directory = utf8_to_wide(dir.file(""));
    const kernel_handle other_kind(
        CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + run_lock_name(directory)).c_str()));
    ASSERT_TRUE(other_kind);

    const run_lock first(directory);
    EXPECT_TRUE(first.first());
    EXPECT_EQ(first.global_refusal(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(run_lock(directory).first());
}

TEST(RunLock, OneThatDidNotGetTheLockKeepsNoOtherFromTakingIt) {
    // Two starts wait while a prepare holds the lock (a double double-click): once
    // the prepare has let it go, the first that tries again takes it, and the other
    // then finds it taken, by that one alone.
    scratch_directory dir;
    const std::wstring directory = utf8_to_wide(dir.file(""));
    auto prepare = std::make_optional<run_lock>(directory);
    ASSERT_TRUE(prepare->first());
    run_lock first_start(directory);
    run_lock second_start(directory);
    EXPECT_FALSE(first_start.first());
    EXPECT_FALSE(second_start.first());
    EXPECT_FALSE(first_start.try_again());
    EXPECT_FALSE(second_start.try_again());
    prepare.reset();
    EXPECT_TRUE(first_start.try_again());
    EXPECT_FALSE(second_start.try_again());
    EXPECT_FALSE(run_lock(directory).first());
}
