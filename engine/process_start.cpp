#include "process_start.h"

#include "logfile.h"
#include "utf8.h"
#include "win_handles.h"

#include <windows.h>

#include <atomic>
#include <optional>
#include <vector>

namespace {

struct started_process {
    kernel_handle process;
    kernel_handle thread;
};

std::optional<started_process> create_process(const std::string& command_line, STARTUPINFOW startup,
                                              DWORD creation_flags,
                                              wchar_t* environment = nullptr) {
    // CreateProcessW may write to the command line, so it gets its own buffer,
    // sized to the line rather than truncating a long one.
    const std::wstring wide = utf8_to_wide(command_line);
    std::vector<wchar_t> buffer(wide.begin(), wide.end());
    buffer.push_back(L'\0');
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, creation_flags,
                        environment, nullptr, &startup, &process)) {
        log_error("CreateProcess failed: " + std::to_string(GetLastError()));
        return std::nullopt;
    }
    return started_process{kernel_handle(process.hProcess), kernel_handle(process.hThread)};
}

// Held for the process's lifetime and never closed before its end: then the system
// closes it, after a TerminateProcess too, and the job ends the helpers in it.
HANDLE launcher_job() {
    static const kernel_handle job = [] {
        // Under Wine the first program that needs the desktop starts its process;
        // asked for here, it does not start inside the job and end with it.
        GetDesktopWindow();
        kernel_handle created(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!created || !SetInformationJobObject(created.get(), JobObjectExtendedLimitInformation,
                                                 &limits, sizeof limits)) {
            log_error("No job for the launcher's helpers (error " + std::to_string(GetLastError()) +
                      ")");
            created.reset();
        }
        return created;
    }();
    return job.get();
}

// Where the system refuses (a job that the launcher runs in allows none inside it),
// the helper runs outside the job and may outlive a launcher that is killed; the file
// phase allows for that, since it never moves a file whose name such a helper knows.
void tie_to_launcher(HANDLE process) {
    const HANDLE job = launcher_job();
    if (!job || AssignProcessToJobObject(job, process))
        return;
    static std::atomic_flag reported;
    if (!reported.test_and_set())
        log_error("Helpers run outside the launcher's job (error " +
                  std::to_string(GetLastError()) + ")");
}

// The launcher's environment with its process id in QUILLOMARK_LAUNCHER_PID, by which
// a helper watches it: Wine keeps a job open while processes are in it, so that there
// the job alone does not end a helper of a launcher that was killed.
std::vector<wchar_t> helper_environment() {
    std::vector<wchar_t> block;
    if (wchar_t* const own = GetEnvironmentStringsW()) {
        const wchar_t* end = own;
        while (*end)
            end += wcslen(end) + 1;
        block.assign(static_cast<const wchar_t*>(own), end);
        FreeEnvironmentStringsW(own);
    }
    const std::wstring variable =
        std::wstring(launcher_pid_variable) + L"=" + std::to_wstring(GetCurrentProcessId());
    block.insert(block.end(), variable.begin(), variable.end());
    block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

} // namespace

kernel_handle start_process(const std::string& command_line) {
    std::optional<started_process> started = create_process(command_line, STARTUPINFOW{}, 0);
    return started ? std::move(started->process) : kernel_handle();
}

bool run_process(const std::string& command_line) {
    return static_cast<bool>(start_process(command_line));
}

bool run_helper(const std::string& command_line) {
    STARTUPINFOW startup{};
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // No console at all: CREATE_NO_WINDOW would still start a hidden console host for
    // a console program, which costs more than the patch itself. Suspended until it is
    // in the job, so that nothing it starts escapes the job.
    std::vector<wchar_t> environment = helper_environment();
    const std::optional<started_process> started = create_process(
        command_line, startup, DETACHED_PROCESS | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
        environment.data());
    if (!started)
        return false;
    tie_to_launcher(started->process.get());
    ResumeThread(started->thread.get());
    WaitForSingleObject(started->process.get(), INFINITE);
    return true;
}

std::string quoted(const std::string& path) {
    return '"' + path + '"';
}
