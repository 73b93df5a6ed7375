#pragma once
// A downloaded file still has to be unpacked, hashed, flushed and moved into place,
// and meanwhile the worker can already fetch the next one. The finishing line does
// that on threads of its own, several files at once: each job's work (unpacking and
// checking, on any of the line's threads) hands back its finish step (the move into
// place), and the finish steps run one after another in the order the jobs were
// handed over. So the first failure in that order is the one seen, and no file
// after it is put in place.
//
// Two budgets bound the line. A hand-over waits while the files of the jobs not in
// work (not started, or worked and waiting for their finish) take up to 64 MiB on
// disk, and a work waits while the works in progress hold up to 64 MiB of buffers;
// one job may always go on, whatever its size, so a large file's unpacking does not
// hold up the small files behind it for ever.
//
// A work or finish step that throws ends the line: the exception is thrown again to
// the worker by its next hand_over or drain, as if the worker had run the job
// itself, and the jobs behind it are dropped (works in progress finish, unused).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class finishing_line {
  public:
    // What a job's work hands back: the step that puts its result in place.
    using finish_step = std::function<void()>;
    struct job {
        std::function<finish_step()> work;
        std::uint64_t bytes = 0;  // the downloaded file's, on disk
        std::uint64_t memory = 0; // the work's own buffers
    };

    static constexpr std::uint64_t waiting_bytes_limit = 64 * 1024 * 1024;
    static constexpr std::uint64_t memory_limit = 64 * 1024 * 1024;
    // As many works at once as the machine has cores, at most 8, and at least 2: one
    // of them mostly waits for the disk. The environment variable sets another width
    // from 1 to 8, for a machine that should keep its cores for other work, and for
    // comparing the widths.
    static constexpr const char* width_variable = "QUILLOMARK_FINISHING_WIDTH";
    static unsigned default_width();

    // `waiting_for_room` is called on the handing thread, outside the line's lock,
    // before a hand-over waits for the jobs before it.
    explicit finishing_line(unsigned width = default_width(),
                            std::function<void()> waiting_for_room = {});
    // Runs what is still queued, then ends the threads; a failure is dropped.
    ~finishing_line();
    finishing_line(const finishing_line&) = delete;
    finishing_line& operator=(const finishing_line&) = delete;

    // Starts the line's first thread; without it every job runs at once, inside
    // hand_over. Throws std::system_error when the thread cannot be created. The
    // others, up to the width, start when a hand-over finds the first one busy, so a
    // release of one large file keeps no idle threads.
    void start();

    // Queues a job, first waiting while the jobs not yet started would, with it,
    // stand for more than the waiting limit.
    void hand_over(job next);
    // Returns once every job handed over has finished.
    void drain();

  private:
    struct queued_job {
        job task;
        enum class state { waiting, working, worked } progress = state::waiting;
        finish_step finish;
        bool dropped = false; // behind a failure: its finish step never runs
    };

    void add_threads();
    std::size_t jobs_not_started() const;
    void run_jobs();
    bool run_one_step(std::unique_lock<std::mutex>& guard);
    queued_job* next_to_start();
    void work_on(queued_job& next, std::unique_lock<std::mutex>& guard);
    void finish_front(std::unique_lock<std::mutex>& guard);
    void fail(std::exception_ptr thrown);
    void throw_failure();
    bool has_room_for(std::uint64_t bytes) const;

    const unsigned width;
    std::function<void()> waiting_for_room;
    std::mutex lock;
    std::condition_variable changed;
    // In hand-over order, from the oldest job not yet finished.
    std::deque<std::unique_ptr<queued_job>> jobs;
    std::uint64_t waiting_bytes = 0;
    std::uint64_t memory_in_use = 0;
    unsigned working = 0;
    std::size_t idle_threads = 0;
    bool finishing = false;
    bool leaving = false;
    std::exception_ptr failure;
    std::vector<std::thread> threads;
};
