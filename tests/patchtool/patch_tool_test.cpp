// The patch tool as a real process: bsdiff's patches of real pairs of files, and
// every failure that a patch or a path can provoke, each with its message, exit
// status 1 and the files as they were (an earlier new file unchanged, no file of
// the tool's left), also when part of the new file had been written.

#include "patch_builder.h"
#include "scratch.h"
#include "tool_process.h"

#ifdef _WIN32
#include "win_handles.h"
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>

namespace {

constexpr std::int64_t int32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t position_bound = std::int64_t{1} << 62;
#ifdef _WIN32
constexpr const char* null_device = "NUL";
#else
constexpr const char* null_device = "/dev/null";
#endif

std::string environment_path(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string tool_path() {
    return environment_path("QM_PATCH_TOOL");
}

std::string sample_path(const std::string& name) {
    return environment_path("QM_PATCH_SAMPLES") + path_separator + name;
}

std::vector<std::string> sample_names() {
    std::ifstream list(utf8_path(sample_path("names")));
    std::vector<std::string> names;
    for (std::string name; std::getline(list, name);)
        names.push_back(name);
    return names;
}

// Every file of a directory by name, with its content.
std::map<std::string, std::string> directory_contents(const scratch_directory& directory) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        const std::u8string name = entry.path().filename().u8string();
        const std::string utf8_name(name.begin(), name.end());
        contents[utf8_name] = read_bytes(directory.file(utf8_name));
    }
    return contents;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A scratch directory with an old file, a new file from earlier, a patch to write
// and a new file to expect.
class patch_tool : public ::testing::Test {
  protected:
    patch_tool() {
        write_bytes(old_path(), old_content);
        write_bytes(new_path(), "an earlier new file");
    }

    tool_result apply(const std::string& patch) {
        write_bytes(patch_path(), patch);
        return run({tool_path(), old_path(), new_path(), patch_path()});
    }

    // Runs the tool on what the scratch directory holds now.
    tool_result run(const std::vector<std::string>& arguments) {
        files_before_run_ = directory_contents(scratch_);
        return run_tool(arguments);
    }

    // A failure: its exact message (or, after the system's text, its own message),
    // exit status 1, and the scratch directory as it was before the run.
    void expect_failure(const tool_result& result, const std::string& message,
                        bool after_system_text = false) {
        EXPECT_EQ(1, result.exit_status);
        if (after_system_text) {
            EXPECT_TRUE(ends_with(result.output, message)) << result.output;
            EXPECT_GT(result.output.size(), message.size()) << "no system text";
        } else {
            EXPECT_EQ(message, result.output);
        }
        EXPECT_TRUE(directory_contents(scratch_) == files_before_run_);
    }

    std::string old_path() const { return scratch_.file("old"); }
    std::string new_path() const { return scratch_.file("new"); }
    std::string patch_path() const { return scratch_.file("patch"); }

    const std::string old_content = "ABCDEFGH";
    scratch_directory scratch_;
    std::map<std::string, std::string> files_before_run_;
};

} // namespace

TEST(patch_tool_samples, applies_bsdiff_patches_like_the_reference_bspatch) {
    scratch_directory scratch;
    const auto names = sample_names();
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const tool_result result = run_tool({tool_path(), sample_path(name + ".old"),
                                             scratch.file(name), sample_path(name + ".patch")});
        EXPECT_EQ(0, result.exit_status);
        EXPECT_EQ("", result.output);
        const std::string produced = read_bytes(scratch.file(name));
        EXPECT_TRUE(produced == read_bytes(sample_path(name + ".new")));
        EXPECT_TRUE(produced == read_bytes(sample_path(name + ".reference")));
    }
}

// One file given as old and as new file, under `old_name` and `new_name`; the
// new content lands in `patched`.
struct one_file_twice {
    std::string old_name;
    std::string new_name;
    std::string patched;
};

// The names of one file in `scratch`, "f", with a hard link to it, "link".
std::vector<one_file_twice> names_of_one_file(const scratch_directory& scratch) {
    const std::string file = scratch.file("f");
    const std::string relative = std::filesystem::relative(utf8_path(file)).string();
    std::vector<one_file_twice> names{{file, file, file},
                                      {relative, file, file},
                                      {file, scratch.file("link"), scratch.file("link")}};
#ifdef _WIN32
    names.push_back({file, scratch.file("F"), file});
    names.push_back({"\\\\?\\" + file, file, file});
#endif
    return names;
}

// The tool reads the old file while it writes the new one beside it, and moves
// that over the new file only when it is complete: one file given as both is
// patched, and a corrupt patch leaves it as it was. Debian's bspatch truncates
// the new file before it reads the old one, so its result for two files is the
// reference.
TEST(patch_tool_samples, one_file_as_old_and_new_file_under_any_of_its_names) {
    scratch_directory scratch;
    const std::string old_content = read_bytes(sample_path("random.old"));
    const std::string reference = read_bytes(sample_path("random.reference"));
    const auto patch_one_file = [&](const one_file_twice& names, const std::string& patch) {
        std::filesystem::remove(utf8_path(scratch.file("link")));
        write_bytes(scratch.file("f"), old_content);
        std::filesystem::create_hard_link(utf8_path(scratch.file("f")),
                                          utf8_path(scratch.file("link")));
        const tool_result result =
            run_tool({tool_path(), names.old_name, names.new_name, sample_path(patch)});
        EXPECT_EQ(2u, directory_contents(scratch).size()) << "a file of the tool's is left";
        return result;
    };
    for (const one_file_twice& names : names_of_one_file(scratch)) {
        SCOPED_TRACE(names.old_name + " as old file, " + names.new_name + " as new file");
        const tool_result patched = patch_one_file(names, "random.patch");
        EXPECT_EQ(0, patched.exit_status);
        EXPECT_EQ("", patched.output);
        EXPECT_TRUE(read_bytes(names.patched) == reference);
        const tool_result corrupt = patch_one_file(names, "corrupt.patch");
        EXPECT_EQ(1, corrupt.exit_status);
        EXPECT_EQ("Corrupt patch\n", corrupt.output);
        EXPECT_TRUE(read_bytes(names.patched) == old_content);
    }
}

TEST_F(patch_tool, empty_blocks_and_new_size_0_make_an_empty_file) {
    const tool_result result = apply(build_patch({}, "", "", 0));
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", read_bytes(new_path()));
}

TEST_F(patch_tool, old_positions_outside_the_old_file_add_nothing) {
    // Old position 0, then -2 after the first entry's step, then 8 GiB + 2 (64-bit
    // positions), then back to 6.
    constexpr std::int64_t distant = std::int64_t{1} << 33;
    const std::vector<control_entry> control{
        {4, 0, -6}, {4, 0, distant}, {2, 0, 2 - distant}, {2, 0, 0}};
    const tool_result result = apply(build_patch(control, std::string(12, '\1'), "", 12));
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("BCDE\1\1BC\1\1HI", read_bytes(new_path()));
}

// The tool reads the old file through a window of 256 KiB: a run across the
// window's edge, a jump back before the window and a run past the file's end.
TEST_F(patch_tool, runs_anywhere_in_a_large_old_file_add_its_bytes) {
    constexpr std::int64_t window = 256 * 1024;
    std::string old(3 * window, '\0');
    for (std::size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<char>(i * 7 + (i >> 10));
    write_bytes(old_path(), old);
    const auto size = static_cast<std::int64_t>(old.size());
    const std::vector<control_entry> control{
        {window + 5, 0, -window}, {3, 0, size - 4 - 8}, {8, 0, 0}};
    const std::int64_t new_size = window + 5 + 3 + 8;
    const tool_result result =
        apply(build_patch(control, std::string(new_size, '\1'), "", new_size));
    EXPECT_EQ(0, result.exit_status);
    std::string expected =
        old.substr(0, window + 5) + old.substr(5, 3) + old.substr(old.size() - 4);
    for (char& byte : expected)
        byte = static_cast<char>(byte + 1);
    expected += std::string(4, '\1');
    EXPECT_TRUE(read_bytes(new_path()) == expected);
}

// A new file of several MiB has its diff block decoded ahead on a thread of its
// own, in chunks of 1 MiB: runs that cross the chunks' edges get the same bytes, and
// a block one byte short still ends the patch as corrupt.
TEST_F(patch_tool, a_diff_block_decoded_ahead_gives_the_same_bytes_and_the_same_end) {
    constexpr std::int64_t mib = 1024 * 1024;
    const std::int64_t new_size = 5 * mib + 3;
    std::string old(static_cast<std::size_t>(new_size), '\0');
    std::string diff(old.size() - 2, '\0');
    for (std::size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<char>(i * 13 + (i >> 12));
    for (std::size_t i = 0; i < diff.size(); ++i)
        diff[i] = static_cast<char>(i % 251);
    write_bytes(old_path(), old);
    const std::vector<control_entry> control{
        {mib + 7, 2, 0}, {3 * mib - 1, 0, -2}, {mib - 5, 0, 0}};
    EXPECT_EQ(0, apply(build_patch(control, diff, "xy", new_size)).exit_status);
    std::string expected = old.substr(0, mib + 7) + "xy" + old.substr(mib + 7, 3 * mib - 1) +
                           old.substr(4 * mib + 4, mib - 5);
    for (std::size_t i = 0, d = 0; i < expected.size(); ++i)
        if (i < mib + 7 || i >= mib + 9)
            expected[i] = static_cast<char>(expected[i] + diff[d++]);
    EXPECT_TRUE(read_bytes(new_path()) == expected);
    // Without an earlier new file too, the run leaves none.
    std::filesystem::remove(utf8_path(new_path()));
    diff.pop_back();
    expect_failure(apply(build_patch(control, diff, "xy", new_size)), "Corrupt patch\n");
}

TEST_F(patch_tool, extra_bytes_are_copied_between_diff_runs) {
    const std::vector<control_entry> control{{2, 3, 0}, {1, 0, 0}};
    const tool_result result = apply(build_patch(control, std::string(3, '\0'), "xyz", 6));
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("ABxyzC", read_bytes(new_path()));
}

TEST_F(patch_tool, wrong_argument_counts_print_the_usage_line) {
    const std::string usage = "usage: " + tool_path() + " oldfile newfile patchfile\n";
    expect_failure(run({tool_path(), old_path(), new_path()}), usage);
    expect_failure(run({tool_path(), old_path(), new_path(), patch_path(), "extra"}), usage);
}

TEST_F(patch_tool, unreadable_files_print_the_system_text_and_the_path) {
    expect_failure(run({tool_path(), old_path(), new_path(), scratch_.file("missing")}),
                   "fopen(" + scratch_.file("missing") + ")", true);
    write_bytes(patch_path(), build_patch({{8, 0, 0}}, std::string(8, '\0'), "", 8));
    expect_failure(run({tool_path(), scratch_.file("missing"), new_path(), patch_path()}),
                   scratch_.file("missing"), true);
}

TEST_F(patch_tool, new_file_in_a_missing_directory_prints_its_path) {
    write_bytes(patch_path(), build_patch({{8, 0, 0}}, std::string(8, '\0'), "", 8));
    const std::string unwritable = scratch_.file("missing") + path_separator + "new";
    const tool_result result = run_tool({tool_path(), old_path(), unwritable, patch_path()});
    EXPECT_EQ(1, result.exit_status);
    EXPECT_TRUE(ends_with(result.output, unwritable)) << result.output;
}

TEST_F(patch_tool, damaged_headers_are_corrupt) {
    const std::string valid = build_patch({{8, 0, 0}}, std::string(8, '\0'), "", 8);
    expect_failure(apply(valid.substr(0, 31)), "Corrupt patch\n");
    expect_failure(apply("BSDIFF41" + valid.substr(8)), "Corrupt patch\n");
    expect_failure(apply(patch_header("BSDIFF40", -1, 10, 8) + valid.substr(32)),
                   "Corrupt patch\n");
    expect_failure(apply(patch_header("BSDIFF40", 10, -1, 8) + valid.substr(32)),
                   "Corrupt patch\n");
    expect_failure(apply(patch_header("BSDIFF40", 10, 10, -8) + valid.substr(32)),
                   "Corrupt patch\n");
}

// Numbers are read whole, never cut down to their low bytes: blocks that lie beyond
// the patch's end, or a new size that the blocks do not fill, are corrupt; so are
// block offsets past 64 bits.
TEST_F(patch_tool, header_numbers_beyond_31_bits_are_read_whole) {
    const std::string valid = build_patch({{8, 0, 0}}, std::string(8, '\0'), "", 8);
    const std::string blocks = valid.substr(32);
    expect_failure(apply(patch_header("BSDIFF40", (std::int64_t{1} << 32) + 40, 40, 8) + blocks),
                   "Corrupt patch\n");
    expect_failure(apply(patch_header("BSDIFF40", 40, 40, int32_max + 1) + blocks),
                   "Corrupt patch\n");
    expect_failure(apply(patch_header("BSDIFF40", int64_max, int64_max, 8) + blocks),
                   "Corrupt patch\n");
}

TEST_F(patch_tool, damaged_blocks_are_corrupt) {
    const std::string diff(8, '\0');
    const std::string control_block = bzip2_compress(patch_number(8) + patch_number(0));
    const std::string diff_block = bzip2_compress(diff);
    const std::string extra_block = bzip2_compress("");
    expect_failure(apply(patch_header("BSDIFF40", static_cast<std::int64_t>(control_block.size()),
                                      static_cast<std::int64_t>(diff_block.size()), 8) +
                         control_block + diff_block + extra_block),
                   "Corrupt patch\n");
    const std::string garbage = "this is not bzip2 data";
    expect_failure(apply(patch_header("BSDIFF40", static_cast<std::int64_t>(garbage.size()),
                                      static_cast<std::int64_t>(diff_block.size()), 8) +
                         garbage + diff_block + extra_block),
                   "Corrupt patch\n");
    expect_failure(apply(build_patch({{8, 0, 0}}, std::string(5, '\0'), "", 8)), "Corrupt patch\n");
    expect_failure(apply(build_patch({{4, 4, 0}}, std::string(4, '\0'), "xy", 8)),
                   "Corrupt patch\n");
}

TEST_F(patch_tool, control_entries_that_leave_the_new_file_are_corrupt) {
    const std::string diff(16, '\0');
    const std::string extra(16, 'x');
    expect_failure(apply(build_patch({{9, 0, 0}}, diff, "", 8)), "Corrupt patch\n");
    expect_failure(apply(build_patch({{4, 5, 0}}, diff, extra, 8)), "Corrupt patch\n");
    expect_failure(apply(build_patch({{-4, 12, 0}}, diff, extra, 8)), "Corrupt patch\n");
    expect_failure(apply(build_patch({{4, -4, 0}, {8, 0, 0}}, diff, extra, 8)), "Corrupt patch\n");
}

// Old positions stay within 2^62 either way.
TEST_F(patch_tool, old_positions_that_overflow_are_corrupt) {
    const std::string diff(8, '\0');
    expect_failure(apply(build_patch({{1, 0, position_bound}, {7, 0, 0}}, diff, "", 8)),
                   "Corrupt patch\n");
    expect_failure(apply(build_patch({{1, 0, int64_max}, {7, 0, 0}}, diff, "", 8)),
                   "Corrupt patch\n");
    expect_failure(
        apply(build_patch({{1, 0, -position_bound}, {1, 0, -int64_max}, {6, 0, 0}}, diff, "", 8)),
        "Corrupt patch\n");
}

// A device cannot be replaced by a move, so the tool writes to it directly.
TEST_F(patch_tool, a_device_as_new_file_is_written_directly) {
    write_bytes(patch_path(), build_patch({{8, 0, 0}}, std::string(8, '\0'), "", 8));
    const tool_result result = run_tool({tool_path(), old_path(), null_device, patch_path()});
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.output);
}

#ifdef _WIN32
// A scanner that holds the old file, and one that holds the earlier new file, for a
// moment: the tool says that it waits for each, and patches once they are free.
TEST_F(patch_tool, files_held_by_another_program_are_waited_for) {
    write_bytes(patch_path(), build_patch({{8, 0, 0}}, std::string(8, '\1'), "", 8));
    const auto hold = [](const std::string& path) {
        return file_handle(CreateFileW(utf8_path(path).c_str(), GENERIC_READ, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    file_handle old_hold = hold(old_path());
    file_handle new_hold = hold(new_path());
    ASSERT_TRUE(old_hold && new_hold);
    const std::string old_wait = "fopen(" + old_path() + "): held by another program";
    const std::string move_wait = "MoveFileExW(" + new_path() + "): held by another program";
    const tool_result result = run_tool({tool_path(), old_path(), new_path(), patch_path()},
                                        [&](const std::string& output) {
                                            if (output.find(old_wait) != std::string::npos)
                                                old_hold.reset();
                                            if (output.find(move_wait) != std::string::npos)
                                                new_hold.reset();
                                        });
    EXPECT_EQ(0, result.exit_status);
    EXPECT_TRUE(result.output.starts_with(old_wait)) << result.output;
    EXPECT_NE(std::string::npos, result.output.find(move_wait)) << result.output;
    EXPECT_EQ("BCDEFGHI", read_bytes(new_path()));
}

#else
TEST_F(patch_tool, full_device_as_new_file_prints_its_path) {
    write_bytes(patch_path(), build_patch({{8, 0, 0}}, std::string(8, '\0'), "", 8));
    const tool_result result = run_tool({tool_path(), old_path(), "/dev/full", patch_path()});
    EXPECT_EQ(1, result.exit_status);
    EXPECT_TRUE(ends_with(result.output, "/dev/full")) << result.output;
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full")) << "a failed run removed a device";
}

TEST_F(patch_tool, directory_as_patch_fails_reading_the_header) {
    expect_failure(run({tool_path(), old_path(), new_path(), scratch_.path().string()}),
                   "fread(" + scratch_.path().string() + ")", true);
}
#endif
