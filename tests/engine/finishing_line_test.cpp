// The finishing line: jobs run in the order handed over, the jobs waiting stand for
// at most 64 MiB unless a single one does, and a job's failure reaches the worker as
// if it had run the job itself.

#include "finishing_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

TEST(FinishingLine, RunsJobsInOrderWithinTheWaitingLimitAndDrains) {
    constexpr auto limit = static_cast<std::int64_t>(finishing_line::waiting_bytes_limit);
    // Two big jobs never wait together; small ones fill the room beside one.
    const auto bytes_of = [](int job) -> std::int64_t {
        return job % 10 == 0 ? limit / 2 + 1 : limit / 20;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int> done;
    std::int64_t handed_bytes = 0;
    std::int64_t started_bytes = 0;
    int handed = 0;
    int started = 0;
    bool over_limit = false;
    bool waited_for_room = false;
    {
        finishing_line line([&] {
            {
                const std::lock_guard guard(lock);
                waited_for_room = true;
            }
            changed.notify_all();
        });
        line.start();
        for (int job = 0; job < 200; ++job) {
            line.hand_over(
                [&, job] {
                    std::unique_lock guard(lock);
                    // The first job holds the line until a hand-over waits for room, or
                    // until half the jobs are handed over: the jobs pile up behind it
                    // whatever the threads' timing.
                    if (job == 0)
                        changed.wait(guard, [&] { return waited_for_room || handed >= 100; });
                    ++started;
                    started_bytes += bytes_of(job);
                    // What waits now; a job may start before its hand-over is counted.
                    over_limit |= handed - started > 1 && handed_bytes - started_bytes > limit;
                    done.push_back(job);
                },
                bytes_of(job));
            {
                // Counted once handed over: a job still being handed over does not wait yet.
                const std::lock_guard guard(lock);
                ++handed;
                handed_bytes += bytes_of(job);
            }
            changed.notify_all();
            if (job == 99) {
                line.drain();
                EXPECT_EQ(done.size(), 100u);
            }
        }
    }
    ASSERT_EQ(done.size(), 200u);
    for (int job = 0; job < 200; ++job)
        EXPECT_EQ(done[job], job);
    EXPECT_TRUE(waited_for_room);
    EXPECT_FALSE(over_limit);
}

TEST(FinishingLine, AFailureReachesTheWorkerAndDropsTheJobsBehindIt) {
    for (const bool threaded : {true, false}) {
        finishing_line line;
        if (threaded)
            line.start();
        std::atomic<int> ran{0};
        EXPECT_THROW(
            {
                line.hand_over([] { throw std::runtime_error("unpacking failed"); }, 1);
                line.hand_over([&] { ++ran; }, 1);
                line.drain();
            },
            std::runtime_error);
        line.drain();
        EXPECT_EQ(ran, 0) << threaded;
        // The line goes on with what is handed over after the failure was seen.
        line.hand_over([&] { ++ran; }, 1);
        line.drain();
        EXPECT_EQ(ran, 1) << threaded;
    }
}
