// How requests fail: status and range checks, malformed URLs, refused
// connections, a server silent beyond a short set_timeout, cancel and shut-down.

#include "test_server.h"
#include "transfer_test_helpers.h"

#include <chrono>
#include <future>
#include <thread>

namespace {

class Failures : public ::testing::Test {
  protected:
    // One request without the retry, from `offset` on, into the memory sink.
    transfer_error request_error(const std::string& url, std::int64_t offset = 0) {
        return caught_error(
            [&] { transfer.request(url.c_str(), &sink, offset, nullptr, false, false); });
    }

    CFileTransfer transfer;
    memory_transfer_copy sink;
};

} // namespace

TEST_F(Failures, StatusesOtherThan200And206ToARangeAreUnexpected) {
    for (const char* rules : {"status=404", "status=500", "status=206"}) {
        const transfer_error error = request_error(sample_url(1000, rules));
        EXPECT_EQ(error.code, transfer_error::network) << rules;
        EXPECT_STREQ(error.message, "Unexpected status code from HTTP server") << rules;
    }
}

TEST_F(Failures, APartialAnswerThatDoesNotMatchTheRangeIsInconsistent) {
    for (const char* rules : {"range=missing", "range=wrong-start", "length=wrong"}) {
        const transfer_error error = request_error(sample_url(1000, rules), 100);
        EXPECT_EQ(error.code, transfer_error::network) << rules;
        EXPECT_STREQ(error.message, "Inconsistent range data") << rules;
    }
}

TEST_F(Failures, AMatchingPartialAnswerIsStoredAtItsOffset) {
    transfer.request(sample_url(1000).c_str(), &sink, 100, nullptr, false, false);
    EXPECT_EQ(sink.size(), 1000u);
    EXPECT_EQ(std::string(sink.data() + 100, 900), sample_content(1000).substr(100));
}

TEST_F(Failures, AMissingContentRangeAtOffset1WithoutLengthPassesTheCheck) {
    transfer.request(sample_url(1000, "range=missing&length=none").c_str(), &sink, 1, nullptr,
                     false, false);
    EXPECT_EQ(std::string(sink.data() + 1, 999), sample_content(1000).substr(1));
}

// The memory sink's bound (64 MiB in the downloads) at 1 MiB, so the test is quick.
TEST(EndlessBody, StopsAtTheMemorySinksBound) {
    CFileTransfer transfer;
    memory_transfer_copy sink(1ul << 20);
    const transfer_error error = caught_error([&] {
        transfer.request(sample_url(100, "endless=1").c_str(), &sink, 0, nullptr, false, false);
    });
    EXPECT_EQ(error.code, transfer_error::out_of_memory);
    EXPECT_STREQ(error.message, "Download too large for memory");
    // Each read's bytes go whole or not at all: the sink stops within a chunk of its bound.
    EXPECT_LE(sink.size(), 1ul << 20);
    EXPECT_GT(sink.size(), (1ul << 20) - file_transfer::read_chunk_size);
}

TEST_F(Failures, AUrlThatCannotBeSplitOrIsNotHttpIsIncorrectlyFormed) {
    for (const char* url : {"not a url", "ftp://127.0.0.1/file.bin"}) {
        const transfer_error error = request_error(url);
        EXPECT_EQ(error.code, transfer_error::network) << url;
        EXPECT_STREQ(error.message, "URL is incorrectly formed") << url;
    }
}

TEST_F(Failures, ARefusedConnectionFailsTheSendOnBothPasses) {
    const transfer_error error = request_error("http://127.0.0.1:1/file.bin");
    EXPECT_STREQ(error.message, "HTTP send request failed");
}

TEST_F(Failures, AServerSilentBeyondTheTimeOutFailsTheRequest) {
    transfer.set_timeout(1);
    const auto started = std::chrono::steady_clock::now();
    const transfer_error error = request_error(sample_url(1000, "stall=4"));
    EXPECT_STREQ(error.message, "HTTP send request failed");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    EXPECT_EQ(fetch_text(transfer, sample_url(100)), sample_content(100));
}

TEST_F(Failures, CancelEndsTheReadLoopAndTheRequestReturnsWithWhatItHas) {
    std::vector<std::int64_t> progress;
    set_callbacks(
        transfer, nullptr,
        [&](std::int64_t offset) {
            progress.push_back(offset);
            if (offset > 0)
                transfer.cancel();
        },
        nullptr);
    transfer.request(sample_url(100, "endless=1").c_str(), &sink, 0, nullptr, false, false);
    // The progress report comes just before a read: that chunk is still read, and
    // the loop ends after it.
    ASSERT_EQ(progress.size(), 3u);
    EXPECT_GT(progress[2], progress[1]);
    EXPECT_EQ(sink.size(), static_cast<std::uint64_t>(progress[2]));
}

// A synchronous read returns only when its buffer is full: the loop asks for what
// has arrived, so that every byte before a stall is reported (and a shut-down
// reaches the loop) at once rather than when a whole chunk came or the time-out.
TEST_F(Failures, EveryByteBeforeAStallIsReportedWithoutWaitingForAWholeChunk) {
    constexpr std::int64_t sent = 5000;
    transfer.set_timeout(10);
    const auto started = std::chrono::steady_clock::now();
    set_callbacks(
        transfer, nullptr,
        [this](std::int64_t offset) {
            if (offset >= sent)
                transfer.shut_down();
        },
        nullptr);
    const transfer_error error = request_error(sample_url(100000, "hang=5000"));
    EXPECT_STREQ(error.message, "Transfer ended: the launcher is closing");
    EXPECT_EQ(sink.size(), static_cast<std::uint64_t>(sent));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
}

TEST_F(Failures, ACancelBeforeTheRequestIsForgotten) {
    transfer.cancel();
    transfer.request(sample_url(10000).c_str(), &sink, 0, nullptr, false, false);
    EXPECT_EQ(sink.size(), 10000u);
}

// From another thread, shut_down ends a request at once, also one that waits for an
// answer that does not come (the time-out would be 60 s); every later request fails
// without asking the server.
TEST(ShutDown, EndsAWaitingRequestAtOnceAndEveryLaterOne) {
    using namespace std::chrono_literals;
    CFileTransfer transfer;
    memory_transfer_copy sink;
    const std::string url = sample_url(10000, "stall=120");
    auto request = std::async(std::launch::async, [&] {
        return caught_error(
            [&] { transfer.request_with_retry(url.c_str(), &sink, 0, nullptr, false, false); });
    });
    while (recorded_requests().empty())
        std::this_thread::sleep_for(10ms);

    const auto shut = std::chrono::steady_clock::now();
    transfer.shut_down();
    EXPECT_STREQ(request.get().message, "Transfer ended: the launcher is closing");
    EXPECT_LT(std::chrono::steady_clock::now() - shut, 10s);
    EXPECT_STREQ(caught_error([&] { fetch_text(transfer, sample_url(100)); }).message,
                 "Transfer ended: the launcher is closing");
    EXPECT_EQ(recorded_requests().size(), 1u);
}
