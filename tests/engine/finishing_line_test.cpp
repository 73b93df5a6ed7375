// The finishing line: works run side by side within the width and the memory budget,
// finish steps in the order handed over, the jobs waiting stand for at most 64 MiB
// unless a single one does, and the first failure in that order reaches the worker
// as if it had run the job itself.

#include "finishing_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
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
        finishing_line line(1, [&] {
            {
                const std::lock_guard guard(lock);
                waited_for_room = true;
            }
            changed.notify_all();
        });
        line.start();
        for (int job = 0; job < 200; ++job) {
            line.hand_over(
                {[&, job]() -> finishing_line::finish_step {
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
                     return [&, job] { done.push_back(job); };
                 },
                 static_cast<std::uint64_t>(bytes_of(job)), 0});
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
                line.hand_over({[]() -> finishing_line::finish_step {
                                    throw std::runtime_error("unpacking failed");
                                },
                                1, 0});
                line.hand_over({[&] { return [&] { ++ran; }; }, 1, 0});
                line.drain();
            },
            std::runtime_error);
        line.drain();
        EXPECT_EQ(ran, 0) << threaded;
        // The line goes on with what is handed over after the failure was seen.
        line.hand_over({[&] { return [&] { ++ran; }; }, 1, 0});
        line.drain();
        EXPECT_EQ(ran, 1) << threaded;
    }
}

// Works end in any order; the finish steps keep the hand-over order, and a failure
// in the middle lets the one before it finish and drops the one behind it.
TEST(FinishingLine, WorksRunSideBySideWithinTheMemoryAndFinishInOrder) {
    constexpr std::uint64_t half = finishing_line::memory_limit / 2;
    std::mutex lock;
    std::condition_variable changed;
    int working = 0;
    int most_working = 0;
    std::uint64_t memory = 0;
    std::uint64_t most_memory = 0;
    std::vector<int> finished;
    const auto work = [&](int job, std::uint64_t job_memory) {
        {
            std::unique_lock guard(lock);
            ++working;
            memory += job_memory;
            most_working = std::max(most_working, working);
            most_memory = std::max(most_memory, memory);
            // The first two wait for each other: they must run at once.
            if (job < 2)
                changed.wait(guard, [&] { return most_working >= 2; });
            changed.notify_all();
        }
        const std::lock_guard guard(lock);
        --working;
        memory -= job_memory;
    };
    {
        finishing_line line(3);
        line.start();
        for (int job = 0; job < 12; ++job) {
            // Job 6 alone holds more than the budget: it runs by itself.
            const std::uint64_t job_memory = job == 6 ? 3 * half : half;
            line.hand_over({[&, job, job_memory]() -> finishing_line::finish_step {
                                work(job, job_memory);
                                return [&, job] { finished.push_back(job); };
                            },
                            1, job_memory});
        }
        line.drain();
    }
    EXPECT_EQ(finished, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(most_working, 2);
    EXPECT_EQ(most_memory, 3 * half);

    finished.clear();
    finishing_line line(3);
    line.start();
    std::atomic<int> ended{0};
    const auto after = [&](int count) {
        while (ended < count)
            std::this_thread::yield();
    };
    line.hand_over({[&]() -> finishing_line::finish_step {
                        after(2);
                        return [&] { finished.push_back(0); };
                    },
                    1, 1});
    line.hand_over({[&]() -> finishing_line::finish_step {
                        after(1);
                        ++ended;
                        throw std::runtime_error("the second file is damaged");
                    },
                    1, 1});
    line.hand_over({[&]() -> finishing_line::finish_step {
                        ++ended;
                        return [&] { finished.push_back(2); };
                    },
                    1, 1});
    try {
        line.drain();
        ADD_FAILURE() << "the failure was not thrown";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "the second file is damaged");
    }
    EXPECT_EQ(finished, std::vector<int>{0});
}
