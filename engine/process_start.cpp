#include "process_start.h"

#include "logfile.h"
#include "utf8.h"
#include "win_handles.h"

#include <windows.h>

#include <vector>

bool run_process(const std::string& command_line, bool wait, bool hidden) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    DWORD creation_flags = 0;
    if (hidden) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        // No console at all: CREATE_NO_WINDOW would still start a hidden console
        // host for a console program, which costs more than the patch itself.
        creation_flags = DETACHED_PROCESS;
    }
    // CreateProcessW may write to the command line, so it gets its own buffer,
    // sized to the line rather than truncating a long one.
    const std::wstring wide = utf8_to_wide(command_line);
    std::vector<wchar_t> buffer(wide.begin(), wide.end());
    buffer.push_back(L'\0');

    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, creation_flags, nullptr,
                        nullptr, &startup, &process)) {
        log_error("CreateProcess failed: " + std::to_string(GetLastError()));
        return false;
    }
    const kernel_handle process_handle(process.hProcess);
    const kernel_handle thread_handle(process.hThread);
    if (wait)
        WaitForSingleObject(process_handle.get(), INFINITE);
    return true;
}

std::string quoted(const std::string& path) {
    return '"' + path + '"';
}
