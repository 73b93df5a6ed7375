#pragma once
// Checking an installation that is already current is mostly hashing. The update
// worker checks its files in queue order; a second thread computes the records of
// later installed files meanwhile, so that the check uses two cores. The worker
// takes each record in turn: one not begun it computes itself, and while the one
// it needs is still being computed, it computes a later one.
//
// A record computed ahead is only right if nothing writes its file before the
// worker reaches it. The worker writes only the installed file of its current
// entry and its own work files, so an entry is computed ahead only when no other
// entry can name the same file, installed or in the work directory (see
// file_alias_key), and its name does not lead into the work directory.

#include "file_info.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct check_item {
    std::string name;
    std::string path;   // the installed file
    bool may_run_ahead; // false: only the worker computes it, when it gets there
};

class check_ahead {
  public:
    // `stop` ends the work ahead early (the run was aborted); it must outlive this.
    check_ahead(std::vector<check_item> items, const std::atomic<bool>& stop);
    ~check_ahead();
    check_ahead(const check_ahead&) = delete;
    check_ahead& operator=(const check_ahead&) = delete;

    // Starts the thread; without it every record is computed by the caller.
    void start();
    // The record of item `index`, computed now or ahead; each index is asked once.
    file_info record_of(std::size_t index);

  private:
    enum class slot_state { open, reserved, computing, done, taken };
    struct slot {
        slot_state state;
        file_info record;
    };

    void compute_ahead();
    // Marks the next open slot from `from_index` as computing; false when none is left.
    bool claim_open_slot(std::size_t from_index, std::size_t& claimed);
    void compute(std::size_t index);

    std::vector<check_item> items;
    std::vector<slot> slots;
    const std::atomic<bool>& stop_requested;
    std::atomic<bool> leaving{false};
    std::size_t next_open = 0;
    std::mutex lock;
    std::condition_variable slot_done;
    std::thread thread;
};
