#include "logfile.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "win_handles.h"
#endif

namespace {

#ifdef _WIN32
constexpr const char* stored_line_end = "\r\n";
#else
constexpr const char* stored_line_end = "\n";
#endif

// A logger whose clock and thread id the test sets by hand.
struct scripted_log {
    std::int64_t now = log_time_to_microseconds(log_time{2015, 3, 3, 9, 15, 42, 431250});
    std::uint32_t thread = 0x1a4c;
    std::vector<std::string> debug_lines;
    CLogFile log{CLogFile::sources{
        [this] { return log_time_from_microseconds(now); }, [this] { return thread; },
        [this](const std::string& line) { debug_lines.push_back(line); }}};
};

std::string stored(std::string text) {
    std::string result;
    for (char c : text) {
        if (c == '\n')
            result += stored_line_end;
        else
            result += c;
    }
    return result;
}

} // namespace

TEST(LogFile, OpeningAppendsMarkerAndLinesAreWrittenWithElapsedTimes) {
    scratch_directory dir;
    scripted_log s;
    ASSERT_TRUE(s.log.open(dir.file("ezo.log")));
    s.log.write("first", 2);
    s.now += 10000000;
    s.log.write("after ten seconds", 1);
    s.now += 10001000;
    s.log.write("after a bit more", 4);
    s.now -= 5000;
    s.log.write("clock stepped back", 4);
    EXPECT_EQ(read_bytes(dir.file("ezo.log")),
              stored("\n--- 2015-Mar-03 09:15:42 ---\n\n"
                     "Th=1a4c 2015-Mar-03 09:15:42.431250 [ 0 ms ] - first\n"
                     "Th=1a4c 2015-Mar-03 09:15:52.431250 [ 10000 ms ] - after ten seconds\n"
                     "Th=1a4c 2015-Mar-03 09:16:02.432250 [ 10 s ] - after a bit more\n"
                     "Th=1a4c 2015-Mar-03 09:16:02.427250 [ -5 ms ] - clock stepped back\n"));
    EXPECT_EQ(s.debug_lines.size(), 4u);
    EXPECT_EQ(s.debug_lines[0], "Th=1a4c 2015-Mar-03 09:15:42.431250 [ 0 ms ] - first\n");
}

TEST(LogFile, EachThreadMeasuresFromItsOwnPreviousLine) {
    scratch_directory dir;
    scripted_log s;
    ASSERT_TRUE(s.log.open(dir.file("ezo.log")));
    s.log.write("a1", 1);
    s.now += 3000;
    s.thread = 0xb;
    s.log.write("b1", 1);
    s.now += 4000;
    s.thread = 0x1a4c;
    s.log.write("a2", 1);
    s.now += 1000;
    s.thread = 0xb;
    s.log.write("b2", 1);
    const std::string log = read_bytes(dir.file("ezo.log"));
    EXPECT_NE(log.find("Th=b 2015-Mar-03 09:15:42.434250 [ 0 ms ] - b1"), std::string::npos);
    EXPECT_NE(log.find("Th=1a4c 2015-Mar-03 09:15:42.438250 [ 7 ms ] - a2"), std::string::npos);
    EXPECT_NE(log.find("Th=b 2015-Mar-03 09:15:42.439250 [ 5 ms ] - b2"), std::string::npos);
}

TEST(LogFile, ReopeningAppendsANewMarkerAfterTheOldContent) {
    scratch_directory dir;
    write_bytes(dir.file("ezo.log"), "old content");
    scripted_log s;
    ASSERT_TRUE(s.log.open(dir.file("ezo.log")));
    s.log.write("one", 1);
    ASSERT_TRUE(s.log.open(dir.file("ezo.log")));
    s.log.write("two", 1);
    const std::string marker = stored("\n--- 2015-Mar-03 09:15:42 ---\n\n");
    const std::string log = read_bytes(dir.file("ezo.log"));
    EXPECT_EQ(log.rfind("old content", 0), 0u);
    EXPECT_EQ(log.find(marker), 11u);
    EXPECT_NE(log.find(marker, 12), std::string::npos);
    EXPECT_LT(log.find("- one"), log.find("- two"));
}

TEST(LogFile, LinesBeforeOpeningAreLostAndLevelsBelowTheThresholdDropped) {
    scratch_directory dir;
    scripted_log s;
    s.log.write("lost", 1);
    EXPECT_TRUE(s.debug_lines.empty());
    ASSERT_TRUE(s.log.open(dir.file("ezo.log")));
    s.log.write("kept", 1);
    s.log.write("dropped", 0);
    const std::string log = read_bytes(dir.file("ezo.log"));
    EXPECT_EQ(log.find("lost"), std::string::npos);
    EXPECT_EQ(log.find("dropped"), std::string::npos);
    EXPECT_NE(log.find("- kept"), std::string::npos);
}

TEST(LogFile, UnopenableFileFailsAndLinesStillReachTheDebugger) {
    scratch_directory dir;
    scripted_log s;
    EXPECT_FALSE(s.log.open(dir.file("missing") + path_separator + "ezo.log"));
    s.log.write("only to the debugger", 2);
    ASSERT_EQ(s.debug_lines.size(), 1u);
    EXPECT_NE(s.debug_lines[0].find("only to the debugger"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
    // A later successful open writes to the file again.
    ASSERT_TRUE(s.log.open(dir.file("ezo.log")));
    s.log.write("back in the file", 2);
    EXPECT_NE(read_bytes(dir.file("ezo.log")).find("back in the file"), std::string::npos);
}

TEST(LogFile, LinesFromManyThreadsNeverInterleave) {
    scratch_directory dir;
    CLogFile log;
    ASSERT_TRUE(log.open(dir.file("ezo.log")));
    constexpr int threads = 4;
    constexpr int lines = 200;
    // The writers start together once the gate opens. A mutex, not std::barrier: the
    // barrier's wait in this toolchain's library can miss its wake-up.
    std::mutex gate;
    std::unique_lock closed_gate(gate);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            { const std::lock_guard pass(gate); }
            for (int i = 0; i < lines; ++i)
                log.write("writer " + std::to_string(t) + " line " + std::to_string(i) +
                              std::string(100, 'x'),
                          1);
        });
    closed_gate.unlock();
    for (auto& writer : writers)
        writer.join();

    std::istringstream text(read_bytes(dir.file("ezo.log")));
    const std::regex line_form(R"(Th=[0-9a-f]+ \d{4}-[A-Z][a-z]{2}-\d\d \d\d:\d\d:\d\d(\.\d{6})? )"
                               R"(\[ -?\d+ (ms|s) \] - writer \d line \d+x{100}\r?)");
    std::string line;
    int count = 0;
    while (std::getline(text, line)) {
        if (line.rfind("Th=", 0) != 0)
            continue;
        EXPECT_TRUE(std::regex_match(line, line_form)) << line;
        ++count;
    }
    EXPECT_EQ(count, threads * lines);
}

TEST(LogFile, ProcessWideShorthandsWriteTheirLevels) {
    scratch_directory dir;
    ASSERT_TRUE(log_open(dir.file("ezo.log")));
    log_trace("level one");
    log_info("level two");
    log_error("level four");
    log_write("explicit", 4);
    ASSERT_TRUE(log_open(""));
    const std::string log = read_bytes(dir.file("ezo.log"));
    for (const char* text : {"- level one", "- level two", "- level four", "- explicit"})
        EXPECT_NE(log.find(text), std::string::npos) << text;
}

#ifdef _WIN32
TEST(LogFile, OtherProgramsMayReadAndWriteTheOpenLog) {
    scratch_directory dir;
    scripted_log s;
    ASSERT_TRUE(s.log.open(dir.file("ezo.log")));
    const std::wstring path = dir.path().wstring() + L"\\ezo.log";
    const file_handle other(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(other);
}
#endif
