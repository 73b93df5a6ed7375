#include "finishing_line.h"

#include <algorithm>
#include <cstdlib>

unsigned finishing_line::default_width() {
    if (const char* chosen = std::getenv(width_variable)) {
        const int width = std::atoi(chosen);
        if (width >= 1 && width <= 8)
            return static_cast<unsigned>(width);
    }
    return std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
}

finishing_line::finishing_line(unsigned width, std::function<void()> waiting_for_room)
    : width(std::max(width, 1u)), waiting_for_room(std::move(waiting_for_room)) {}

finishing_line::~finishing_line() {
    {
        const std::lock_guard guard(lock);
        leaving = true;
    }
    changed.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

void finishing_line::start() {
    threads.emplace_back([this] { run_jobs(); });
}

// The rest of the line's threads, once a second job is in hand: a thread that
// cannot be created leaves the line narrower.
void finishing_line::add_threads() {
    try {
        while (threads.size() < width)
            threads.emplace_back([this] { run_jobs(); });
    } catch (const std::system_error&) {
    }
}

void finishing_line::hand_over(job next) {
    if (threads.empty()) {
        next.work()();
        return;
    }
    std::unique_lock guard(lock);
    if (!has_room_for(next.bytes) && waiting_for_room) {
        guard.unlock();
        waiting_for_room();
        guard.lock();
    }
    changed.wait(guard, [&] { return has_room_for(next.bytes); });
    throw_failure();
    waiting_bytes += next.bytes;
    auto queued = std::make_unique<queued_job>();
    queued->task = std::move(next);
    jobs.push_back(std::move(queued));
    const bool short_of_threads = threads.size() < width && jobs_not_started() > idle_threads;
    guard.unlock();
    changed.notify_all();
    if (short_of_threads)
        add_threads();
}

std::size_t finishing_line::jobs_not_started() const {
    return static_cast<std::size_t>(std::count_if(jobs.begin(), jobs.end(), [](const auto& queued) {
        return queued->progress == queued_job::state::waiting;
    }));
}

// A failure ends every wait: it is thrown to the handing thread instead.
bool finishing_line::has_room_for(std::uint64_t bytes) const {
    return waiting_bytes == 0 || waiting_bytes + bytes <= waiting_bytes_limit || failure;
}

void finishing_line::drain() {
    std::unique_lock guard(lock);
    changed.wait(guard, [this] { return jobs.empty() || failure; });
    throw_failure();
}

void finishing_line::throw_failure() {
    if (failure)
        std::rethrow_exception(std::exchange(failure, nullptr));
}

void finishing_line::run_jobs() {
    std::unique_lock guard(lock);
    for (;;) {
        if (run_one_step(guard))
            continue;
        if (leaving && jobs.empty())
            return;
        ++idle_threads;
        changed.wait(guard);
        --idle_threads;
    }
}

// Finishing comes first: it frees the files and lets the jobs behind go on.
bool finishing_line::run_one_step(std::unique_lock<std::mutex>& guard) {
    if (!finishing && !jobs.empty() && jobs.front()->progress == queued_job::state::worked) {
        finish_front(guard);
        return true;
    }
    if (queued_job* next = next_to_start()) {
        work_on(*next, guard);
        return true;
    }
    return false;
}

// The oldest job not started, when the width and the memory allow it; a job may
// always start when no work is in progress.
finishing_line::queued_job* finishing_line::next_to_start() {
    const auto waiting = std::find_if(jobs.begin(), jobs.end(), [](const auto& queued) {
        return queued->progress == queued_job::state::waiting;
    });
    if (waiting == jobs.end() || working >= width)
        return nullptr;
    const std::uint64_t memory = (*waiting)->task.memory;
    return working == 0 || memory_in_use + memory <= memory_limit ? waiting->get() : nullptr;
}

// The thread's edge for a work: what it throws becomes its finish step, so that
// it reaches the worker in the jobs' order.
void finishing_line::work_on(queued_job& next, std::unique_lock<std::mutex>& guard) {
    next.progress = queued_job::state::working;
    // A file being worked on does not wait; once worked, it waits for its finish.
    waiting_bytes -= next.task.bytes;
    memory_in_use += next.task.memory;
    ++working;
    guard.unlock();
    changed.notify_all();
    finish_step finish;
    try {
        finish = next.task.work();
    } catch (...) {
        finish = [thrown = std::current_exception()] { std::rethrow_exception(thrown); };
    }
    next.task.work = nullptr;
    guard.lock();
    next.finish = std::move(finish);
    next.progress = queued_job::state::worked;
    waiting_bytes += next.task.bytes;
    memory_in_use -= next.task.memory;
    --working;
    changed.notify_all();
}

// The thread's edge for a finish step: its exception is kept for the worker.
void finishing_line::finish_front(std::unique_lock<std::mutex>& guard) {
    finishing = true;
    finish_step finish = jobs.front()->dropped ? nullptr : std::move(jobs.front()->finish);
    guard.unlock();
    std::exception_ptr thrown;
    try {
        if (finish)
            finish();
    } catch (...) {
        thrown = std::current_exception();
    }
    guard.lock();
    finishing = false;
    waiting_bytes -= jobs.front()->task.bytes;
    jobs.pop_front();
    if (thrown)
        fail(thrown);
    changed.notify_all();
}

// The jobs behind a failure are dropped, as the worker would never have reached
// them; works in progress run out and are dropped when done.
void finishing_line::fail(std::exception_ptr thrown) {
    failure = thrown;
    std::erase_if(
        jobs, [](const auto& queued) { return queued->progress != queued_job::state::working; });
    for (const auto& queued : jobs)
        queued->dropped = true;
    // The works in progress count again from their end to their drop.
    waiting_bytes = 0;
}
