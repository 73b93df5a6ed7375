#include "watchdog.h"

#include "win_handles.h"

namespace {

constexpr DWORD default_wait_ms = 61000;
constexpr DWORD wait_margin_ms = 1000;

struct watched_job {
    watched_function function;
    void* context;
    bool succeeded = false;
    DWORD error;
};

DWORD WINAPI watched_thread(void* parameter) {
    auto& job = *static_cast<watched_job*>(parameter);
    try {
        SetLastError(0);
        job.succeeded = job.function(job.context);
        job.error = GetLastError();
    } catch (...) {
        job.succeeded = false;
    }
    return 0;
}

} // namespace

DWORD watchdog_wait_ms(HINTERNET handle, DWORD option) {
    DWORD timeout_ms = 0;
    DWORD size = sizeof timeout_ms;
    if (!InternetQueryOptionA(handle, option, &timeout_ms, &size) || timeout_ms < wait_margin_ms)
        return default_wait_ms;
    return timeout_ms + wait_margin_ms;
}

watched_outcome run_watched(watched_function function, void* context,
                            const watch_settings& settings) {
    watched_job job{function, context, false, settings.error_if_never_run};
    const kernel_handle thread(CreateThread(nullptr, 0, watched_thread, &job, 0, nullptr));
    if (!thread)
        return {false, settings.error_if_never_run, false};
    if (WaitForSingleObject(thread.get(), settings.wait_ms) == WAIT_OBJECT_0)
        return {job.succeeded, job.error, false};
    InternetCloseHandle(settings.close_on_expiry);
    WaitForSingleObject(thread.get(), INFINITE);
    return {false, ERROR_INTERNET_TIMEOUT, true};
}
