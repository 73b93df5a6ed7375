#include "watchdog.h"

#include <array>
#include <atomic>

namespace {

constexpr DWORD default_wait_ms = 61000;
constexpr DWORD wait_margin_ms = 1000;
// How long a call may take to return once its handle has been closed.
constexpr DWORD wait_after_close_ms = 1000;
// How long an idle thread may take to end when its watchdog goes.
constexpr DWORD wait_for_idle_thread_ms = 1000;

} // namespace

// Shared by the watchdog and its thread, which may outlive it. The call and its
// results are handed over through the two events.
struct watchdog::station {
    kernel_handle call_ready{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    kernel_handle call_done{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<bool> leaving{false};
    std::shared_ptr<watched_call> call;
    bool succeeded = false;
    DWORD error = 0;

    void make_call() {
        try {
            SetLastError(0);
            succeeded = call->make_call();
            error = GetLastError();
        } catch (...) {
            succeeded = false;
        }
        call.reset();
    }
};

namespace {

DWORD WINAPI watchdog_thread(void* parameter) {
    const std::unique_ptr<std::shared_ptr<watchdog::station>> owner(
        static_cast<std::shared_ptr<watchdog::station>*>(parameter));
    watchdog::station& station = **owner;
    for (;;) {
        WaitForSingleObject(station.call_ready.get(), INFINITE);
        if (station.leaving)
            return 0;
        station.make_call();
        SetEvent(station.call_done.get());
    }
}

} // namespace

DWORD watchdog_wait_ms(DWORD option, HINTERNET handle, HINTERNET parent) {
    DWORD timeout_ms = 0;
    DWORD size = sizeof timeout_ms;
    if (!InternetQueryOptionA(handle, option, &timeout_ms, &size) && parent != nullptr)
        InternetQueryOptionA(parent, option, &timeout_ms, &size);
    return timeout_ms < wait_margin_ms ? default_wait_ms : timeout_ms + wait_margin_ms;
}

watchdog::~watchdog() {
    if (!thread_)
        return;
    station_->leaving = true;
    SetEvent(station_->call_ready.get());
    WaitForSingleObject(thread_.get(), wait_for_idle_thread_ms);
}

bool watchdog::start_thread() {
    auto station = std::make_shared<watchdog::station>();
    if (!station->call_ready || !station->call_done)
        return false;
    auto thread_share = std::make_unique<std::shared_ptr<watchdog::station>>(station);
    kernel_handle thread(CreateThread(nullptr, 0, watchdog_thread, thread_share.get(), 0, nullptr));
    if (!thread)
        return false;
    static_cast<void>(thread_share.release());
    station_ = std::move(station);
    thread_ = std::move(thread);
    return true;
}

// The thread ends once its call returns, if it ever does; it holds its own share of
// the station.
void watchdog::let_thread_go() {
    station_->leaving = true;
    SetEvent(station_->call_ready.get());
    station_.reset();
    thread_.reset();
}

watched_outcome watchdog::run(std::shared_ptr<watched_call> call, const watch_settings& settings) {
    if (!thread_ && !start_thread())
        return {false, settings.error_if_never_run, false};
    station_->call = std::move(call);
    SetEvent(station_->call_ready.get());
    const std::array events{station_->call_done.get(), given_up_.get()};
    const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(),
                                               FALSE, settings.wait_ms);
    if (woken == WAIT_OBJECT_0)
        return {station_->succeeded, station_->error, false};
    InternetCloseHandle(settings.close_on_expiry);
    // Given up, the thread is not needed again: no wait for the call to notice.
    const bool given_up = woken == WAIT_OBJECT_0 + 1;
    if (given_up ||
        WaitForSingleObject(station_->call_done.get(), wait_after_close_ms) != WAIT_OBJECT_0)
        let_thread_go();
    const DWORD error =
        given_up ? DWORD{ERROR_INTERNET_OPERATION_CANCELLED} : DWORD{ERROR_INTERNET_TIMEOUT};
    return {false, error, true};
}

void watchdog::give_up() {
    SetEvent(given_up_.get());
}
