#pragma once
// A downloaded file still has to be unpacked, hashed, flushed and moved into place,
// and meanwhile the worker can already fetch the next one. The finishing line runs
// those jobs on a thread of its own, one after another in the order handed over.
// Jobs wait while the files they stand for take up to 64 MiB, and one waits
// whatever its size: a large file's unpacking then does not hold up the downloads
// of the small files behind it, and the downloaded files waiting in the work
// directory stay bounded.
//
// A job that throws ends the line: the exception is thrown again to the worker by
// its next hand_over or drain, as if the worker had run the job itself.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

class finishing_line {
  public:
    // `waiting_for_room` is called on the handing thread, outside the line's lock,
    // before a hand-over waits for the jobs before it.
    explicit finishing_line(std::function<void()> waiting_for_room = {});
    // Runs what is still queued, then ends the thread; a failure is dropped.
    ~finishing_line();
    finishing_line(const finishing_line&) = delete;
    finishing_line& operator=(const finishing_line&) = delete;

    // Starts the thread; without it every job runs at once, inside hand_over.
    void start();
    static constexpr std::uint64_t waiting_bytes_limit = 64 * 1024 * 1024;

    // Queues a job for a file of `bytes`, first waiting while the jobs already
    // waiting would, with it, stand for more than the limit.
    void hand_over(std::function<void()> job, std::uint64_t bytes);
    // Returns once every job handed over has run.
    void drain();

  private:
    void run_jobs();
    void throw_failure();
    bool has_room_for(std::uint64_t bytes) const;

    std::mutex lock;
    std::condition_variable changed;
    struct queued_job {
        std::function<void()> run;
        std::uint64_t bytes;
    };

    std::function<void()> waiting_for_room;
    std::deque<queued_job> queued;
    std::uint64_t queued_bytes = 0;
    bool busy = false;
    bool leaving = false;
    std::exception_ptr failure;
    std::thread thread;
};
