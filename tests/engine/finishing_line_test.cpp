// The finishing line: jobs run in the order handed over, never more than one
// waiting, and a job's failure reaches the worker as if it had run the job itself.

#include "finishing_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

TEST(FinishingLine, RunsJobsInOrderAndDrainsBeforeReturning) {
    std::mutex lock;
    std::vector<int> done;
    std::atomic<int> waiting_most{0};
    std::atomic<int> handed{0};
    std::atomic<int> started{0};
    {
        finishing_line line;
        line.start();
        for (int job = 0; job < 200; ++job) {
            line.hand_over([&, job] {
                ++started;
                // Handed over but not begun: at most the one waiting.
                waiting_most = std::max(waiting_most.load(), handed - started);
                const std::lock_guard guard(lock);
                done.push_back(job);
            });
            ++handed;
            if (job == 99) {
                line.drain();
                EXPECT_EQ(done.size(), 100u);
            }
        }
    }
    ASSERT_EQ(done.size(), 200u);
    for (int job = 0; job < 200; ++job)
        EXPECT_EQ(done[job], job);
    EXPECT_LE(waiting_most, 1);
}

TEST(FinishingLine, AFailureReachesTheWorkerAndDropsTheJobsBehindIt) {
    for (const bool threaded : {true, false}) {
        finishing_line line;
        if (threaded)
            line.start();
        std::atomic<int> ran{0};
        EXPECT_THROW(
            {
                line.hand_over([] { throw std::runtime_error("unpacking failed"); });
                line.hand_over([&] { ++ran; });
                line.drain();
            },
            std::runtime_error);
        line.drain();
        EXPECT_EQ(ran, 0) << threaded;
        // The line goes on with what is handed over after the failure was seen.
        line.hand_over([&] { ++ran; });
        line.drain();
        EXPECT_EQ(ran, 1) << threaded;
    }
}
