// The watchdog on its own, with calls that the test holds up, and against a send
// that WinINet lets run beyond the send time-out: the server stays silent for
// longer, and the receive time-out, which WinINet waits for the answer with, is
// longer still. A program of its own, so that a call left running ends with this
// process and burdens no other test.

#include "test_server.h"
#include "transfer_test_helpers.h"

#include <chrono>

namespace {

// Records the thread it ran on; waits for `release` first when one is given.
class thread_recording_call : public watched_call {
  public:
    explicit thread_recording_call(HANDLE release = nullptr) : release(release) {}

    bool make_call() override {
        if (release)
            WaitForSingleObject(release, INFINITE);
        thread_id = GetCurrentThreadId();
        SetLastError(ERROR_MORE_DATA);
        return true;
    }

    HANDLE release;
    DWORD thread_id = 0;
};

watched_outcome run_with_wait(watchdog& watcher, const std::shared_ptr<watched_call>& call,
                              DWORD wait_ms) {
    return watcher.run(call, {wait_ms, nullptr, ERROR_INTERNET_CANNOT_CONNECT});
}

// Waits ten seconds for an answer, whatever set_timeout says.
class patient_transfer : public CFileTransfer {
  public:
    void connect(const char* host_name, int port_number, bool force) override {
        CFileTransfer::connect(host_name, port_number, force);
        DWORD receive_timeout_ms = 10000;
        InternetSetOptionA(connection.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receive_timeout_ms,
                           sizeof receive_timeout_ms);
    }
};

} // namespace

TEST(Watchdog, KeepsItsThreadForTheNextCallAndLeavesAHangingCallItsOwn) {
    watchdog watcher;
    const auto first = std::make_shared<thread_recording_call>();
    const auto second = std::make_shared<thread_recording_call>();
    const watched_outcome outcome = run_with_wait(watcher, first, 5000);
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_FALSE(outcome.expired);
    EXPECT_TRUE(run_with_wait(watcher, second, 5000).succeeded);
    EXPECT_EQ(first->thread_id, second->thread_id);
    EXPECT_NE(first->thread_id, GetCurrentThreadId());

    const kernel_handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const auto hanging = std::make_shared<thread_recording_call>(release.get());
    const watched_outcome expired = run_with_wait(watcher, hanging, 10);
    EXPECT_TRUE(expired.expired);
    EXPECT_EQ(expired.error, static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));

    const auto after = std::make_shared<thread_recording_call>();
    EXPECT_TRUE(run_with_wait(watcher, after, 5000).succeeded);
    EXPECT_NE(after->thread_id, second->thread_id);
    SetEvent(release.get());
}

TEST(SendWatchdog, EndsASendThatOutlastsTheSendTimeOutAndTheTransferStaysUsable) {
    patient_transfer transfer;
    transfer.set_timeout(1);
    memory_transfer_copy sink;
    const auto started = std::chrono::steady_clock::now();
    const transfer_error error = caught_error([&] {
        transfer.request(sample_url(1000, "stall=4").c_str(), &sink, 0, nullptr, false, false);
    });
    EXPECT_EQ(error.code, transfer_error::network);
    EXPECT_STREQ(error.message, "HTTP send request failed");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    EXPECT_EQ(fetch_text(transfer, sample_url(1000)), sample_content(1000));
}
