#pragma once
// Runs a WinINet call that can hang on a short-lived thread of its own and waits
// for it with a time-out. When the time-out expires, the handle the call works on
// is closed (the owner must forget it, never close it again), which makes the
// call return; the thread is then waited for without limit, so it never outlives
// the caller's data.

#include <windows.h>

#include <wininet.h>

struct watched_outcome {
    bool succeeded = false;
    DWORD error = 0;      // GetLastError() right after the call, or the error below
    bool expired = false; // the handle was closed and the error is ERROR_INTERNET_TIMEOUT
};

struct watch_settings {
    DWORD wait_ms;             // see watchdog_wait_ms
    HINTERNET close_on_expiry; // the handle whose closing ends the call
    DWORD error_if_never_run;  // stands when the thread cannot run the call
};

// The wait for a call on `handle`: the time-out option `option` of the handle plus
// one second, or 61 seconds when the option is below one second.
DWORD watchdog_wait_ms(HINTERNET handle, DWORD option);

using watched_function = bool (*)(void* context);

watched_outcome run_watched(watched_function function, void* context,
                            const watch_settings& settings);

// `call` returns whether the WinINet call succeeded; it runs on the watchdog thread.
template <typename Call> watched_outcome run_watched(Call& call, const watch_settings& settings) {
    return run_watched(
        [](void* context) { return static_cast<bool>((*static_cast<Call*>(context))()); }, &call,
        settings);
}
