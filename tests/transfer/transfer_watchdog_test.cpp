// The send watchdog against a URL that redirects to itself: WinINet follows it
// for ever and does not stop when the watchdog closes the request handle, so the
// call is left running. A program of its own, so that the abandoned call ends
// with this process and burdens no other test.

#include "test_server.h"
#include "transfer_test_helpers.h"

#include <chrono>

TEST(SendWatchdog, EndsARequestThatWinINetRedirectsForeverAndTheTransferStaysUsable) {
    CFileTransfer transfer;
    transfer.set_timeout(1);
    memory_transfer_copy sink;
    const auto started = std::chrono::steady_clock::now();
    const transfer_error error = caught_error([&] {
        transfer.request(sample_url(1000, "redirect=302&loop=1").c_str(), &sink, 0, nullptr, false,
                         false);
    });
    EXPECT_EQ(error.code, transfer_error::network);
    EXPECT_STREQ(error.message, "HTTP send request failed");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(fetch_text(transfer, sample_url(1000)), sample_content(1000));
}
