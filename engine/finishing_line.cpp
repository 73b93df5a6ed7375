#include "finishing_line.h"

finishing_line::finishing_line(std::function<void()> waiting_for_room)
    : waiting_for_room(std::move(waiting_for_room)) {}

finishing_line::~finishing_line() {
    {
        const std::lock_guard guard(lock);
        leaving = true;
    }
    changed.notify_all();
    if (thread.joinable())
        thread.join();
}

void finishing_line::start() {
    thread = std::thread([this] { run_jobs(); });
}

void finishing_line::hand_over(std::function<void()> job, std::uint64_t bytes) {
    if (!thread.joinable()) {
        job();
        return;
    }
    std::unique_lock guard(lock);
    if (!has_room_for(bytes) && waiting_for_room) {
        guard.unlock();
        waiting_for_room();
        guard.lock();
    }
    changed.wait(guard, [&] { return has_room_for(bytes); });
    throw_failure();
    queued.push_back({std::move(job), bytes});
    queued_bytes += bytes;
    guard.unlock();
    changed.notify_all();
}

// A failure ends every wait: it is thrown to the handing thread instead.
bool finishing_line::has_room_for(std::uint64_t bytes) const {
    return queued.empty() || queued_bytes + bytes <= waiting_bytes_limit || failure;
}

void finishing_line::drain() {
    std::unique_lock guard(lock);
    changed.wait(guard, [this] { return (queued.empty() && !busy) || failure; });
    throw_failure();
}

void finishing_line::throw_failure() {
    if (failure)
        std::rethrow_exception(std::exchange(failure, nullptr));
}

// The thread's edge: a job's exception is kept for the worker, and the jobs still
// queued behind it are dropped, as the worker would never have reached them.
// Taking a job frees its bytes for the next hand-over.
void finishing_line::run_jobs() {
    std::unique_lock guard(lock);
    for (;;) {
        changed.wait(guard, [this] { return !queued.empty() || leaving; });
        if (queued.empty())
            return;
        std::function<void()> job = std::move(queued.front().run);
        queued_bytes -= queued.front().bytes;
        queued.pop_front();
        busy = true;
        guard.unlock();
        std::exception_ptr thrown;
        try {
            job();
        } catch (...) {
            thrown = std::current_exception();
        }
        guard.lock();
        busy = false;
        if (thrown) {
            failure = thrown;
            queued.clear();
            queued_bytes = 0;
        }
        changed.notify_all();
    }
}
