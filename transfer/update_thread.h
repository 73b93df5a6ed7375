#pragma once
// The update worker: a thread that owns a transfer object, runs the engine's file
// loop with it and turns the transfer's progress into the engine's byte count.
// The engine is reached through update_host, so this layer does not depend on it.

#include "file_transfer.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

// A meeting point for two threads that each wait until both have arrived. It does
// the job of std::barrier<>(2), whose wait in this toolchain's library (the atomic
// waits of libstdc++ on Windows) can miss its wake-up and hang the starter.
class start_barrier_of_two {
  public:
    void arrive_and_wait();

  private:
    std::mutex lock;
    std::condition_variable arrived;
    int count = 0;
};

// A thread with a synchronised start: start returns only once the new thread runs,
// and run begins only after start has stored the thread.
class CThread {
  public:
    CThread() = default;
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts the thread unless one exists. Throws std::system_error when no thread
    // can be created.
    virtual void start();
    // Waits for the thread to end and forgets it.
    virtual void stop();
    // Joins a thread that its owner did not stop, rather than abandon it.
    virtual ~CThread();

  protected:
    // Runs on the new thread. Whatever it throws is caught and dropped at the
    // thread's edge.
    virtual void run() = 0;

  private:
    friend struct CThreadStart;

    std::shared_ptr<std::thread> thread;
    std::shared_ptr<start_barrier_of_two> start_barrier;
};

// What the worker needs from the engine that created it.
class update_host {
  public:
    virtual void update_files(CFileTransfer* transfer) = 0;
    // Adds to the running count of bytes received (under the engine's lock).
    virtual void add_received_bytes(std::int64_t count) = 0;

  protected:
    ~update_host() = default;
};

class CUpdateThread : public CThread {
  public:
    explicit CUpdateThread(update_host* updater);
    ~CUpdateThread() override;

    // Ends the worker's transfer for good, then joins the worker.
    void stop() override;
    // From any thread: the download in progress, and every later one, fails at once.
    void end_transfer();
    // The worker's transfer, whose received bytes count for the run, for downloads on
    // another thread while this worker does not run.
    CFileTransfer& counted_transfer() { return transfer; }

  private:
    void run() override;

    void on_transfer_size(std::int64_t total);
    void on_transfer_progress(std::int64_t offset);
    void on_transfer_filename(const char* name);

    update_host* updater;
    CFileTransfer transfer;
    std::int64_t last_progress = 0;
};
