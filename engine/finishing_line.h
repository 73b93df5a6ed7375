#pragma once
// A downloaded file still has to be unpacked, hashed, flushed and moved into place,
// and meanwhile the worker can already fetch the next one. The finishing line runs
// those jobs on a thread of its own, one after another in the order handed over.
// One job may wait besides the one running, so downloads run at most two files
// ahead of what is installed.
//
// A job that throws ends the line: the exception is thrown again to the worker by
// its next hand_over or drain, as if the worker had run the job itself.

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

class finishing_line {
  public:
    finishing_line() = default;
    // Runs what is still queued, then ends the thread; a failure is dropped.
    ~finishing_line();
    finishing_line(const finishing_line&) = delete;
    finishing_line& operator=(const finishing_line&) = delete;

    // Starts the thread; without it every job runs at once, inside hand_over.
    void start();
    // Queues a job, first waiting while another one is waiting.
    void hand_over(std::function<void()> job);
    // Returns once every job handed over has run.
    void drain();

  private:
    void run_jobs();
    void throw_failure();

    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> queued;
    bool busy = false;
    bool leaving = false;
    std::exception_ptr failure;
    std::thread thread;
};
