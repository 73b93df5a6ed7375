#pragma once
// Another program (a virus scanner, an indexer, a backup) may hold a file that was
// just written or is about to be replaced, for a moment. An operation that fails for
// that reason is tried again after growing pauses, 10 seconds in all for one file
// unless the caller sets another limit, before the file fails as it would have at
// once. Header only: the patch tool, which links nothing of the launcher's, uses it
// too.

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

// The system errors a hold shows as: a sharing violation, or access denied (which
// is also what replacing or removing a file that is open elsewhere may give).
constexpr bool is_held_file_error(unsigned long system_error) {
    constexpr unsigned long access_denied = 5;
    constexpr unsigned long sharing_violation = 32;
    return system_error == access_denied || system_error == sharing_violation;
}

// The pauses for one file: 100 ms, doubling, the last one cut so that all of them
// add up to 10 s (or `total`). One object may be handed from operation to operation,
// so that they share the time.
class held_file_pauses {
  public:
    static constexpr std::chrono::milliseconds for_one_file{10000};

    explicit held_file_pauses(std::chrono::milliseconds total = for_one_file) : total(total) {}

    // The pause before the next attempt; none once the time is spent.
    std::optional<std::chrono::milliseconds> next() {
        if (spent >= total)
            return std::nullopt;
        const std::chrono::milliseconds pause = std::min(step, total - spent);
        spent += pause;
        step *= 2;
        return pause;
    }

  private:
    std::chrono::milliseconds total;
    std::chrono::milliseconds spent{0};
    std::chrono::milliseconds step{100};
};

// Waits out one pause before a retry; false gives up at once.
using held_file_wait = std::function<bool(std::chrono::milliseconds)>;

// Runs `attempt` (returning a system error, 0 for success) until it succeeds, fails
// for another reason than a hold, or the pauses are spent; returns its last error.
// Before each retry `pause(error, duration)` waits; it returns false to give up early.
template <typename Attempt, typename Pause>
unsigned long retry_while_held(held_file_pauses& pauses, Attempt attempt, Pause pause) {
    for (;;) {
        const unsigned long error = attempt();
        if (!is_held_file_error(error))
            return error;
        const std::optional<std::chrono::milliseconds> wait = pauses.next();
        if (!wait || !pause(error, *wait))
            return error;
    }
}
