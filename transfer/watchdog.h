#pragma once
// Runs a WinINet call that can hang on a thread of its own and waits for it with a
// time-out. When the time-out expires, the handle the call works on is closed (its
// owner must forget it, never close it again), which normally makes the call
// return. WinINet does not always notice: under Wine, HttpSendRequestA goes on
// waiting for an answer after its handle is closed. So the wait after closing is
// bounded too, and a call that still runs is left to itself with its thread; it
// owns copies of everything it passes to WinINet, so it touches nothing of its
// caller.

#include "win_handles.h"

#include <memory>
#include <windows.h>

#include <wininet.h>

class watched_call {
  public:
    virtual ~watched_call() = default;
    // Makes the WinINet call on the watchdog thread; true when it succeeded.
    virtual bool make_call() = 0;
};

struct watched_outcome {
    bool succeeded = false;
    DWORD error = 0; // GetLastError() right after the call, or the error below
    // The handle was closed: the error is ERROR_INTERNET_TIMEOUT, or
    // ERROR_INTERNET_OPERATION_CANCELLED after give_up.
    bool expired = false;
};

struct watch_settings {
    DWORD wait_ms;             // see watchdog_wait_ms
    HINTERNET close_on_expiry; // the handle whose closing ends the call
    DWORD error_if_never_run;  // stands when the thread cannot run the call
};

// The wait for a call on `handle`: the time-out option `option` of the handle plus
// one second, or 61 seconds when the option is below one second. A handle that
// does not answer is replaced by `parent`, whose value it inherited: Wine's request
// handles answer only the connect time-out.
DWORD watchdog_wait_ms(DWORD option, HINTERNET handle, HINTERNET parent = nullptr);

// Keeps its thread from one call to the next: starting a thread costs more than a
// short request under Wine. A call left running keeps that thread to itself, and
// the next call starts a new one.
class watchdog {
  public:
    watchdog() = default;
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;
    ~watchdog();

    // The call's results may be read from `call` only when the outcome has not expired.
    watched_outcome run(std::shared_ptr<watched_call> call, const watch_settings& settings);
    // From any thread: the call waited for now and every later one end as if their
    // time had run out at once.
    void give_up();

    struct station;

  private:
    bool start_thread();
    void let_thread_go();

    std::shared_ptr<station> station_;
    kernel_handle thread_;
    kernel_handle given_up_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
