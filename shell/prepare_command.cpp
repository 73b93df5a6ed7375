#include "prepare_command.h"

#include "installation.h"
#include "installation_layout.h"
#include "logfile.h"
#include "own_resource.h"
#include "update_engine.h"
#include "win_handles.h"

#include <windows.h>

#include <array>
#include <chrono>
#include <thread>

namespace {

constexpr int prepared_exit_code = 0;
constexpr int failed_exit_code = 1;

// A start waits this long for a prepare to end; the prepare takes at most a second.
constexpr std::chrono::seconds prepare_end_limit{5};
constexpr std::chrono::milliseconds lock_retry_pause{20};
// A lock still taken this long after the last prepare has gone is a run's: another
// start's that was quicker. The pause covers a prepare whose process the system
// ends, which closes its handles in no given order; it is short, so that a start
// that steps aside does so while the run it leaves the installation to still works.
constexpr std::chrono::milliseconds run_holds_after{100};
// A stopped prepare that still works after this (an unpacking, the patch tool, a
// read that Wine does not end when its request is closed) ends its process:
// whatever it completed is staged, a download in progress continues next time,
// and an unfinished unpacked file is made again.
constexpr DWORD stopped_work_limit_ms = 500;

// The event lives in this session: the application and its launcher run in it.
std::wstring stop_event_name(const std::wstring& folder) {
    return L"Local\\" + run_lock_name(folder) + L".stop-prepare";
}

// A name that exists while a prepare of the installation lives: each prepare makes
// it before it tries the run lock and lets it go only after the lock, and starts
// only look for it. So a start that finds the lock taken and no prepare knows that
// a run holds it.
std::wstring prepare_marker_name(const std::wstring& folder) {
    return L"Local\\" + run_lock_name(folder) + L".prepare";
}

bool prepare_lives(const std::wstring& folder) {
    return kernel_handle(OpenMutexW(SYNCHRONIZE, FALSE, prepare_marker_name(folder).c_str()))
               .get() != nullptr;
}

void enter_background_mode() {
    if (SetPriorityClass(GetCurrentProcess(), PROCESS_MODE_BACKGROUND_BEGIN) ||
        SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS))
        return;
    log_info("Prepare: background priority refused (error " + std::to_string(GetLastError()) + ")");
}

// Stops the engine when a start signals `stop`, until `done` is signalled.
void watch_for_stop(CUpdater& updater, HANDLE stop, HANDLE done) noexcept {
    const std::array<HANDLE, 2> events{stop, done};
    if (WaitForMultipleObjects(2, events.data(), FALSE, INFINITE) != WAIT_OBJECT_0)
        return;
    try {
        log_info("Prepare: stopped for a start of the launcher");
    } catch (...) {
    }
    updater.request_abort();
    updater.end_transfers();
    if (WaitForSingleObject(done, stopped_work_limit_ms) == WAIT_OBJECT_0)
        return;
    TerminateProcess(GetCurrentProcess(), failed_exit_code);
}

int exit_code_for(prepare_outcome outcome) {
    switch (outcome) {
    case prepare_outcome::prepared:
    case prepare_outcome::nothing_to_prepare:
        return prepared_exit_code;
    case prepare_outcome::stopped:
    case prepare_outcome::failed:
        break;
    }
    return failed_exit_code;
}

int prepare_under_lock(const launcher_config& config, std::uint32_t rate_cap_kib, HANDLE stop) {
    enter_background_mode();
    const kernel_handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) {
        log_error("Prepare: no event (error " + std::to_string(GetLastError()) + ")");
        return failed_exit_code;
    }
    CUpdater updater;
    updater.trust(config);
    std::thread watcher([&] { watch_for_stop(updater, stop, done.get()); });
    prepare_outcome outcome = prepare_outcome::failed;
    try {
        outcome = updater.prepare_release(config.base_url, own_executable_path(), rate_cap_kib);
    } catch (const std::exception& error) {
        log_error(std::string("Prepare ended by an unexpected error: ") + error.what());
    }
    SetEvent(done.get());
    watcher.join();
    return exit_code_for(outcome);
}

int prepare_installation(const parsed_launcher_config& settings, std::uint32_t rate_cap_kib) {
    if (!settings.config) {
        log_error("Settings record unusable: " + settings.fault);
        return failed_exit_code;
    }
    const std::wstring folder = own_folder();
    // Made before the lock is taken, so that a start which finds the lock taken by
    // this prepare can always reach it; the marker is closed after the lock (the
    // objects end in the reverse order).
    const kernel_handle stop(CreateEventW(nullptr, TRUE, FALSE, stop_event_name(folder).c_str()));
    const kernel_handle marker(CreateMutexW(nullptr, FALSE, prepare_marker_name(folder).c_str()));
    if (!stop || !marker) {
        log_error("Prepare: no stop event or marker (error " + std::to_string(GetLastError()) +
                  ")");
        return failed_exit_code;
    }
    const run_lock lock(folder);
    if (!lock.first()) {
        log_info("Prepare: a run or another prepare works in this installation");
        return prepared_exit_code;
    }
    if (WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0) {
        log_info("Prepare: a start of the launcher waits for this installation");
        return prepared_exit_code;
    }
    try {
        return prepare_under_lock(*settings.config, rate_cap_kib, stop.get());
    } catch (const std::system_error& error) {
        log_error(std::string("Prepare could not start: ") + error.what());
        return failed_exit_code;
    }
}

} // namespace

int run_prepare(const parsed_launcher_config& settings, std::uint32_t rate_cap_kib) {
    log_open(prepare_log_file_name);
    log_info("Quillomark Prepare Start");
    const int exit_code = prepare_installation(settings, rate_cap_kib);
    log_info("Quillomark Prepare End");
    return exit_code;
}

// Starts that wait at once (a double double-click) hold nothing of the lock between
// their tries (run_lock.h): the first try after the prepare has let it go takes it,
// and the other start sees soon after that no prepare lives and leaves the
// installation to that run. The stop event stays set while a start waits, so a
// prepare started meanwhile gives way at once.
bool stop_prepare_and_take(run_lock& lock, const std::wstring& folder) {
    const kernel_handle stop(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, stop_event_name(folder).c_str()));
    if (!stop)
        return false;
    SetEvent(stop.get());
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + prepare_end_limit;
    auto prepare_seen = clock::now();
    for (;;) {
        // Looked for before the try: a prepare lets its marker go only after the lock,
        // so a lock that is taken when no prepare lived before is not a prepare's.
        const auto now = clock::now();
        if (prepare_lives(folder))
            prepare_seen = now;
        if (lock.try_again())
            return true;
        if (now >= deadline || now - prepare_seen >= run_holds_after)
            return false;
        std::this_thread::sleep_for(lock_retry_pause);
    }
}
