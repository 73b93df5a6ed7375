// The send watchdog against a send that WinINet lets run beyond the send time-out:
// the server stays silent for longer, and the receive time-out, which WinINet waits
// for the answer with, is longer still. A program of its own, so that a call left
// running ends with this process and burdens no other test.

#include "test_server.h"
#include "transfer_test_helpers.h"

#include <chrono>

namespace {

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
