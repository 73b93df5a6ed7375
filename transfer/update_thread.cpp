#include "update_thread.h"

void start_barrier_of_two::arrive_and_wait() {
    std::unique_lock guard(lock);
    if (++count == 2) {
        arrived.notify_all();
        return;
    }
    arrived.wait(guard, [this] { return count == 2; });
}

struct CThreadStart {
    CThread* owner;

    void operator()() const noexcept {
        owner->start_barrier->arrive_and_wait();
        try {
            owner->run();
        } catch (...) {
            // A worker ends quietly; its outcome is in the engine's state.
        }
    }
};

void CThread::start() {
    if (thread)
        return;
    start_barrier = std::make_shared<start_barrier_of_two>();
    thread = std::make_shared<std::thread>(CThreadStart{this});
    start_barrier->arrive_and_wait();
}

void CThread::stop() {
    if (!thread)
        return;
    thread->join();
    thread.reset();
}

CThread::~CThread() {
    if (thread && thread->joinable())
        thread->join();
}

CUpdateThread::CUpdateThread(update_host* updater) : updater(updater) {
    set_callbacks(
        transfer, [this](std::int64_t total) { on_transfer_size(total); },
        [this](std::int64_t offset) { on_transfer_progress(offset); },
        [this](const char* name) { on_transfer_filename(name); });
}

CUpdateThread::~CUpdateThread() {
    CThread::stop();
}

void CUpdateThread::stop() {
    end_transfer();
    CThread::stop();
}

void CUpdateThread::end_transfer() {
    transfer.shut_down();
}

void CUpdateThread::run() {
    updater->update_files(&transfer);
}

void CUpdateThread::on_transfer_size(std::int64_t) {
    last_progress = 0;
}

// A download without a length has no size report to reset the baseline; its first
// offset lies below the previous download's last one, and starts the baseline there
// so that the count never goes backwards.
void CUpdateThread::on_transfer_progress(std::int64_t offset) {
    if (offset < last_progress)
        last_progress = offset;
    const std::int64_t delta = offset - last_progress;
    last_progress = offset;
    updater->add_received_bytes(delta);
}

void CUpdateThread::on_transfer_filename(const char*) {}
