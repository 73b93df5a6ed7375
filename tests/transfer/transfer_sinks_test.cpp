// The sinks on their own: file sinks with the REGET comparison and the final
// length, the memory sink's growth, and the error type.

#include "transfer_test_helpers.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <type_traits>

namespace {

const std::string sample = "0123456789abcdefghijklmnopqrstuvwxyz";

crt_file open_existing(const std::string& path) {
    return crt_file(_open(path.c_str(), _O_BINARY | _O_RDWR));
}

} // namespace

TEST(TransferError, IsAPlainValueOutsideTheStdExceptionHierarchy) {
    static_assert(!std::is_base_of_v<std::exception, transfer_error>);
    static_assert(!std::is_polymorphic_v<transfer_error>);
    static_assert(std::is_trivially_copyable_v<transfer_error>);
    bool caught_as_std_exception = false;
    try {
        try {
            throw transfer_error{transfer_error::network, "x"};
        } catch (const std::exception&) {
            caught_as_std_exception = true;
        }
    } catch (const transfer_error& error) {
        EXPECT_EQ(error.code, 1);
    }
    EXPECT_FALSE(caught_as_std_exception);
}

TEST(FileSink, FirstWriteCreatesOrTruncatesTheFileAndAnEmptyWriteStillDoes) {
    scratch_directory scratch;
    const std::string path = scratch.file("body.bin");
    write_bytes(path, "old content that must go");
    {
        file_transfer_copy sink(path.c_str());
        EXPECT_EQ(sink.write_at(sample.data(), 0, 10), 10);
        EXPECT_EQ(sink.write_at(sample.data() + 10, 10, 5), 15);
    }
    EXPECT_EQ(read_bytes(path), sample.substr(0, 15));
    {
        file_transfer_copy sink(path.c_str());
        EXPECT_EQ(sink.write_at(sample.data(), 0, 0), 0);
    }
    EXPECT_TRUE(std::filesystem::exists(utf8_path(path)));
    EXPECT_EQ(read_bytes(path), "");
}

TEST(FileSink, BytesTheFileHoldsAreComparedAndOnlyTheRestWritten) {
    scratch_directory scratch;
    const std::string path = scratch.file("resume.bin");
    write_bytes(path, sample.substr(0, 20));
    {
        file_transfer_copy sink(path.c_str(), open_existing(path), 20);
        EXPECT_EQ(sink.write_at(sample.data() + 12, 12, 16), 28);
        // A retry from the start compares everything held so far.
        EXPECT_EQ(sink.write_at(sample.data(), 0, 30), 30);
    }
    EXPECT_EQ(read_bytes(path), sample.substr(0, 30));
}

TEST(FileSink, ADifferingHeldByteFailsAndLeavesTheFileAsItWas) {
    scratch_directory scratch;
    const std::string path = scratch.file("differs.bin");
    write_bytes(path, sample.substr(0, 20));
    std::string changed = sample;
    changed[18] = '#';
    {
        file_transfer_copy sink(path.c_str(), open_existing(path), 20);
        const transfer_error error =
            caught_error([&] { sink.write_at(changed.data() + 12, 12, 16); });
        EXPECT_EQ(error.code, transfer_error::local_file);
        EXPECT_STREQ(error.message, "Files are not identical for REGET operation");
    }
    EXPECT_EQ(read_bytes(path), sample.substr(0, 20));
}

TEST(FileSink, BytesHeldBackReachTheFileInOrderByFinish) {
    scratch_directory scratch;
    const std::string path = scratch.file("pieces.bin");
    std::string body;
    for (int piece = 0; body.size() < 150 * 1024; ++piece)
        body += std::string(1024, static_cast<char>('a' + piece % 26));
    file_transfer_copy sink(path.c_str());
    for (long offset = 0; offset < static_cast<long>(body.size()); offset += 1024)
        sink.write_at(body.data() + offset, offset, 1024);
    sink.finish();
    EXPECT_EQ(read_bytes(path), body);
}

// Offsets are 64-bit: a file resumed past 4 GiB (sparse here, so the test is quick)
// compares and writes at the right places and is cut to its known length.
TEST(FileSink, PositionsPast4GiBReachTheFile) {
    scratch_directory scratch;
    const std::string path = scratch.file("big.bin");
    constexpr std::int64_t held = (std::int64_t{5} << 30) + 7;
    {
        crt_file file(_open(path.c_str(), _O_BINARY | _O_RDWR | _O_CREAT, _S_IREAD | _S_IWRITE));
        ASSERT_EQ(_chsize_s(file.get(), held), 0);
        file_transfer_copy sink(path.c_str(), std::move(file), held);
        const std::string body = std::string(4, '\0') + sample;
        EXPECT_EQ(sink.write_at(body.data(), held - 4, static_cast<long>(body.size())),
                  held + static_cast<std::int64_t>(sample.size()));
        sink.finish();
    }
    crt_file file(_open(path.c_str(), _O_BINARY | _O_RDONLY));
    EXPECT_EQ(_filelengthi64(file.get()), held + static_cast<std::int64_t>(sample.size()));
    std::string tail(sample.size(), '\0');
    ASSERT_EQ(_lseeki64(file.get(), held, SEEK_SET), held);
    ASSERT_EQ(_read(file.get(), tail.data(), static_cast<unsigned>(tail.size())),
              static_cast<int>(tail.size()));
    EXPECT_EQ(tail, sample);
}

TEST(FileSink, DestructionCutsTheFileToTheKnownLength) {
    scratch_directory scratch;
    const std::string path = scratch.file("cut.bin");
    write_bytes(path, sample);
    { file_transfer_copy sink(path.c_str(), open_existing(path), 8); }
    EXPECT_EQ(read_bytes(path), sample.substr(0, 8));
}

TEST(FileSink, AFileThatCannotBeOpenedGivesTheRuntimeErrorText) {
    scratch_directory scratch;
    const std::string path = scratch.file("missing\\dir\\body.bin");
    file_transfer_copy sink(path.c_str());
    const transfer_error error = caught_error([&] { sink.write_at(sample.data(), 0, 4); });
    EXPECT_EQ(error.code, transfer_error::local_file);
    EXPECT_STREQ(error.message, std::strerror(ENOENT));
}

TEST(FileSink, TheWideSinkOpensNamesOutsideTheCodePage) {
    scratch_directory scratch;
    const std::string path = scratch.file("\xce\xb1\xce\xb2-\xe6\x96\x87.bin");
    const std::wstring wide_path =
        (scratch.path() / utf8_path("\xce\xb1\xce\xb2-\xe6\x96\x87.bin")).wstring();
    {
        file_transfer_copyw sink(wide_path.c_str());
        sink.write_at(sample.data(), 0, 12);
    }
    EXPECT_EQ(read_bytes(path), sample.substr(0, 12));
}

TEST(MemorySink, GrowsTo4096BytesBeyondTheEndOrDoublesAndOverwritesRepeats) {
    memory_transfer_copy sink;
    EXPECT_EQ(sink.data(), nullptr);
    EXPECT_EQ(sink.write_at(sample.data(), 0, 10), 10);
    EXPECT_EQ(sink.capacity(), 10u + 4096);
    EXPECT_EQ(sink.write_at(sample.data(), 5000, 20), 5020);
    EXPECT_EQ(sink.capacity(), 5020u + 4096);
    EXPECT_EQ(sink.write_at("XY", 0, 2), 5020);
    EXPECT_EQ(sink.capacity(), 5020u + 4096);
    EXPECT_EQ(sink.size(), 5020u);
    EXPECT_EQ(sink.write_at(sample.data(), 5020u + 4096, 1), 5020 + 4097);
    EXPECT_EQ(sink.capacity(), 2 * (5020u + 4096));
    EXPECT_EQ(std::string(sink.data(), 10), "XY" + sample.substr(2, 8));
    EXPECT_EQ(std::string(sink.data() + 5000, 20), sample.substr(0, 20));
    char* block = sink.release_data();
    EXPECT_EQ(sink.data(), nullptr);
    std::free(block);
}

TEST(MemorySink, AWritePast64MiBFailsAndKeepsTheBlock) {
    memory_transfer_copy sink;
    sink.write_at(sample.data(), 0, 10);
    const char* block = sink.data();
    const long limit = static_cast<long>(memory_transfer_copy::default_size_limit);
    const transfer_error error = caught_error([&] { sink.write_at(sample.data(), limit - 1, 2); });
    EXPECT_EQ(error.code, transfer_error::out_of_memory);
    EXPECT_STREQ(error.message, "Download too large for memory");
    EXPECT_EQ(sink.data(), block);
    EXPECT_EQ(sink.size(), 10u);
    EXPECT_EQ(sink.write_at(sample.data(), limit - 1, 1), limit);
}
