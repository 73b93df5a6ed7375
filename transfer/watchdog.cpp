#include "watchdog.h"

#include "win_handles.h"

namespace {

constexpr DWORD default_wait_ms = 61000;
constexpr DWORD wait_margin_ms = 1000;
// How long a call may take to return once its handle has been closed.
constexpr DWORD wait_after_close_ms = 1000;

// Shared by the waiting thread and the watchdog thread, which may outlive it.
struct watched_job {
    std::shared_ptr<watched_call> call;
    bool succeeded = false;
    DWORD error = 0;
};

DWORD WINAPI watched_thread(void* parameter) {
    const std::unique_ptr<std::shared_ptr<watched_job>> owner(
        static_cast<std::shared_ptr<watched_job>*>(parameter));
    watched_job& job = **owner;
    try {
        SetLastError(0);
        job.succeeded = job.call->make_call();
        job.error = GetLastError();
    } catch (...) {
        job.succeeded = false;
    }
    return 0;
}

} // namespace

DWORD watchdog_wait_ms(DWORD option, HINTERNET handle, HINTERNET parent) {
    DWORD timeout_ms = 0;
    DWORD size = sizeof timeout_ms;
    if (!InternetQueryOptionA(handle, option, &timeout_ms, &size) && parent != nullptr)
        InternetQueryOptionA(parent, option, &timeout_ms, &size);
    return timeout_ms < wait_margin_ms ? default_wait_ms : timeout_ms + wait_margin_ms;
}

watched_outcome run_watched(std::shared_ptr<watched_call> call, const watch_settings& settings) {
    const auto job = std::make_shared<watched_job>(
        watched_job{std::move(call), false, settings.error_if_never_run});
    auto thread_share = std::make_unique<std::shared_ptr<watched_job>>(job);
    const kernel_handle thread(
        CreateThread(nullptr, 0, watched_thread, thread_share.get(), 0, nullptr));
    if (!thread)
        return {false, settings.error_if_never_run, false};
    static_cast<void>(thread_share.release());
    if (WaitForSingleObject(thread.get(), settings.wait_ms) == WAIT_OBJECT_0)
        return {job->succeeded, job->error, false};
    InternetCloseHandle(settings.close_on_expiry);
    WaitForSingleObject(thread.get(), wait_after_close_ms);
    return {false, ERROR_INTERNET_TIMEOUT, true};
}
