#include "check_ahead.h"

check_ahead::check_ahead(std::vector<check_item> checked, const std::atomic<bool>& stop)
    : items(std::move(checked)), stop_requested(stop) {
    slots.reserve(items.size());
    for (const check_item& item : items)
        slots.push_back({item.may_run_ahead ? slot_state::open : slot_state::reserved, {}});
}

check_ahead::~check_ahead() {
    leaving = true;
    if (thread.joinable())
        thread.join();
}

void check_ahead::start() {
    thread = std::thread([this] {
        try {
            compute_ahead();
        } catch (...) {
            // What was not computed ahead, the worker computes itself.
        }
    });
}

void check_ahead::compute_ahead() {
    std::size_t index = 0;
    while (!leaving && !stop_requested && claim_open_slot(0, index))
        compute(index);
}

bool check_ahead::claim_open_slot(std::size_t from_index, std::size_t& claimed) {
    const std::lock_guard guard(lock);
    next_open = std::max(next_open, from_index);
    while (next_open < slots.size() && slots[next_open].state != slot_state::open)
        ++next_open;
    if (next_open == slots.size())
        return false;
    claimed = next_open++;
    slots[claimed].state = slot_state::computing;
    return true;
}

// A record that cannot be computed (no memory) is handed back to the worker, which
// computes it itself when it gets there.
void check_ahead::compute(std::size_t index) {
    file_info record;
    slot_state outcome = slot_state::done;
    try {
        record = make_file_info(items[index].name, items[index].path);
    } catch (...) {
        outcome = slot_state::reserved;
    }
    {
        const std::lock_guard guard(lock);
        slots[index].record = std::move(record);
        slots[index].state = outcome;
    }
    slot_done.notify_all();
}

file_info check_ahead::record_of(std::size_t index) {
    std::unique_lock guard(lock);
    for (;;) {
        slot& wanted = slots[index];
        if (wanted.state == slot_state::done) {
            wanted.state = slot_state::taken;
            return std::move(wanted.record);
        }
        if (wanted.state == slot_state::open || wanted.state == slot_state::reserved) {
            wanted.state = slot_state::taken;
            guard.unlock();
            return make_file_info(items[index].name, items[index].path);
        }
        guard.unlock();
        std::size_t later = 0;
        if (claim_open_slot(index + 1, later)) {
            compute(later);
            guard.lock();
            continue;
        }
        guard.lock();
        slot_done.wait(guard, [&] { return slots[index].state != slot_state::computing; });
    }
}
