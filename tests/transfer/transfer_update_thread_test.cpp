// The update worker: its synchronised start and stop, and the byte count it feeds
// from its transfer's progress.

#include "test_server.h"
#include "update_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

// Runs a scripted file loop on the worker and records what the worker reports.
class scripted_host : public update_host {
  public:
    explicit scripted_host(std::function<void(CFileTransfer&)> script)
        : script(std::move(script)) {}

    void update_files(CFileTransfer* transfer) override {
        ++runs;
        worker_thread = std::this_thread::get_id();
        script(*transfer);
        script_done.set_value();
    }
    void add_received_bytes(std::int64_t count) override {
        bytes += count;
        smallest_addition = std::min(smallest_addition, count);
    }

    std::function<void(CFileTransfer&)> script;
    // stop ends the worker's transfer: a test that needs the script's downloads
    // waits for this first.
    std::promise<void> script_done;
    int runs = 0;
    std::thread::id worker_thread;
    std::int64_t bytes = 0;
    std::int64_t smallest_addition = 0;
};

void fetch(CFileTransfer& transfer, long size, const std::string& rules = "") {
    char* data = nullptr;
    long received = 0;
    EXPECT_EQ(download_to_memory(transfer, sample_url(size, rules), &data, &received),
              download_result::received);
    EXPECT_EQ(received, size);
    std::free(data);
}

} // namespace

TEST(UpdateThread, StartsOneThreadAndStopWaitsForIt) {
    scripted_host host([](CFileTransfer&) {});
    CUpdateThread worker(&host);
    worker.start();
    worker.start();
    worker.stop();
    EXPECT_EQ(host.runs, 1);
    EXPECT_NE(host.worker_thread, std::this_thread::get_id());
}

TEST(UpdateThread, StopOfAWorkerNeverStartedReturnsAtOnce) {
    scripted_host host([](CFileTransfer&) {});
    CUpdateThread worker(&host);
    worker.stop();
    EXPECT_EQ(host.runs, 0);
}

TEST(UpdateThread, AnExceptionEndsTheWorkerQuietly) {
    scripted_host host([](CFileTransfer&) { throw std::runtime_error("conversion failed"); });
    CUpdateThread worker(&host);
    worker.start();
    worker.stop();
    EXPECT_EQ(host.runs, 1);
}

// A download without a length gets no size report; its bytes are still counted
// from its own start, and the count never goes backwards.
TEST(UpdateThread, CountsEveryByteReceivedOnceAndNeverBackwards) {
    scripted_host host([](CFileTransfer& transfer) {
        fetch(transfer, 1000);
        fetch(transfer, 4096);
        fetch(transfer, 100, "length=none");
        fetch(transfer, 10000, "length=none");
    });
    CUpdateThread worker(&host);
    worker.start();
    host.script_done.get_future().wait();
    worker.stop();
    EXPECT_EQ(host.bytes, 1000 + 4096 + 100 + 10000);
    EXPECT_GE(host.smallest_addition, 0);
}
