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
    transfer_error request_error(const std::string& url, long offset = 0) {
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
    EXPECT_EQ(sink.size(), 1ul << 20);
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
    set_callbacks(
        transfer, nullptr,
        [this](long offset) {
            if (offset >= 2048)
                transfer.cancel();
        },
        nullptr);
    transfer.request(sample_url(100000).c_str(), &sink, 0, nullptr, false, false);
    // The progress report comes just before a read: that chunk is still read.
    EXPECT_EQ(sink.size(), 3072u);
    EXPECT_EQ(std::string(sink.data(), 3072), sample_content(3072));
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
