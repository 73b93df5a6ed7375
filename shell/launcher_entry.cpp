#include "launcher_entry.h"

#include "file_helpers.h"
#include "launcher_config.h"
#include "logfile.h"
#include "own_resource.h"
#include "resource.h"
#include "run_lock.h"
#include "update_engine.h"
#include "updater_ui.h"
#include "updater_windows.h"
#include "utf8.h"
#include "win_handles.h"

#include <commctrl.h>
#include <shellapi.h>

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>

namespace {

struct local_free {
    void operator()(LPWSTR* block) const noexcept { LocalFree(block); }
};

using argument_array = std::unique_ptr<LPWSTR[], local_free>;

// Offers keyboard messages to the dialog that holds their target, so both windows
// get Tab, Enter and Escape.
bool is_dialog_message(MSG& message) {
    const HWND dialog = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    return dialog && IsDialogMessageW(dialog, &message);
}

int run_message_loop() {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (is_dialog_message(message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void start_update_run(CUpdater& updater, const launcher_config& settings) {
    updater.release_key_hex = settings.release_key_hex;
    try {
        updater.start(settings.base_url);
    } catch (const std::system_error& error) {
        log_error(std::string("Update run could not start: ") + error.what());
    }
}

// Zero once the window is shown, otherwise the system's error code.
DWORD create_progress_window(HINSTANCE instance, int show_command) {
    const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    progress_window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                                         progress_window_procedure, 0);
    if (!progress_window) {
        const DWORD error = GetLastError();
        return error ? error : ERROR_INVALID_WINDOW_HANDLE;
    }
    ShowWindow(progress_window, show_command);
    return 0;
}

// The settings record stamped into this executable, read once per run.
parsed_launcher_config own_settings() {
    const std::wstring name = utf8_to_wide(launcher_config_resource);
    const std::string_view record = own_resource(RT_RCDATA, name.c_str());
    if (record.empty())
        return {std::nullopt, "the launcher has no settings record"};
    return parse_launcher_config(record);
}

// Bounds the shut-down. Closing a request's handle ends a read that waits in WinINet
// on Windows, but not under Wine, where a server that stopped sending mid-body, or
// sends a byte now and then, would hold the process until the receive time-out
// (60 s). Once the transfers are ended nothing the engine still does can damage the
// installation: every file, and the installed record, is replaced by a rename of a
// complete copy. So at the deadline the process ends, whatever still waits. Counted
// from Cancel, it leaves one of the two seconds that Cancel may take to Wine's
// teardown of the process.
class shut_down_deadline {
  public:
    shut_down_deadline() : watcher([this] { watch(); }) {}
    ~shut_down_deadline() {
        {
            const std::lock_guard guard(lock);
            met = true;
        }
        signal.notify_all();
        watcher.join();
    }
    shut_down_deadline(const shut_down_deadline&) = delete;
    shut_down_deadline& operator=(const shut_down_deadline&) = delete;

  private:
    static constexpr std::chrono::milliseconds limit{1000};

    void watch() {
        std::unique_lock guard(lock);
        if (signal.wait_for(guard, limit, [this] { return met; }))
            return;
        log_error("Shut-down still waits after " + std::to_string(limit.count()) +
                  " ms: the process ends now");
        log_info("Quillomark End");
        TerminateProcess(GetCurrentProcess(), 0);
    }

    std::mutex lock;
    std::condition_variable signal;
    bool met = false;
    std::thread watcher;
};

// Aborts the run, which ends its waits, ends its transfers and starts the deadline,
// unless done already.
// On Cancel it runs before the window goes, on the window thread: nothing may throw.
void begin_shut_down(CUpdater& updater, std::optional<shut_down_deadline>& deadline) noexcept {
    if (deadline)
        return;
    try {
        deadline.emplace();
    } catch (const std::system_error& error) {
        log_error(std::string("Shut-down deadline could not start: ") + error.what());
    }
    updater.request_abort();
    updater.end_transfers();
}

// The progress window of the run that holds the lock carries the lock's name as a
// window property, so a second start can find it.
BOOL CALLBACK bring_marked_window_to_front(HWND window, LPARAM name) {
    if (!GetPropW(window, reinterpret_cast<LPCWSTR>(name)))
        return TRUE;
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    return FALSE;
}

std::wstring own_directory() {
    const std::wstring path = own_executable_path();
    return path.substr(0, path.rfind(L'\\') + 1);
}

int normal_run(HINSTANCE instance, int show_command) {
    // A second start in the same installation only shows the first one's window:
    // two runs would share Temp and replace the same files at once.
    const std::wstring lock_name = run_lock_name(own_directory());
    const run_lock lock(lock_name);
    if (!lock.first()) {
        EnumWindows(bring_marked_window_to_front, reinterpret_cast<LPARAM>(lock_name.c_str()));
        return 0;
    }
    const DWORD window_error = create_progress_window(instance, show_command);
    if (!window_error)
        SetPropW(progress_window, lock_name.c_str(), progress_window);
    log_open("ezo.log");
    log_info("Quillomark Start");
    // Without its window the run could neither report nor hand over the start, and
    // the message loop would wait for ever.
    if (window_error) {
        log_error("Progress window could not be created: " + std::to_string(window_error));
        log_info("Quillomark End");
        return 1;
    }
    CUpdater updater;
    // A launcher whose settings are damaged must not guess where to download from.
    if (const auto settings = own_settings(); !settings.config) {
        log_error("Settings record unusable: " + settings.fault);
        updater.set_info_text("Viga versiooni laadimisel!");
    } else {
        start_update_run(updater, *settings.config);
    }
    std::optional<shut_down_deadline> deadline;
    set_cancel_handler([&] { begin_shut_down(updater, deadline); });
    const int exit_code = run_message_loop();
    set_cancel_handler({});
    begin_shut_down(updater, deadline);
    updater.shut_down();
    deadline.reset();
    log_info("Quillomark End");
    return exit_code;
}

struct file_identity {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    bool operator==(const file_identity&) const = default;
};

// The volume and file index of a path: the same file gives the same identity
// whatever form its path is written in.
std::optional<file_identity> identity_of(const wchar_t* path) {
    const file_handle file(CreateFileW(
        long_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (!file || !GetFileInformationByHandle(file.get(), &information))
        return std::nullopt;
    return file_identity{information.dwVolumeSerialNumber, information.nFileIndexHigh,
                         information.nFileIndexLow};
}

// False only when the process is known to run another program than the launcher:
// a process id may have been reused once the old launcher ended.
bool runs_launcher(HANDLE process, const wchar_t* launcher_path) {
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process, 0, image.data(), &length))
        return true;
    image.resize(length);
    const auto running = identity_of(image.c_str());
    const auto launcher = identity_of(launcher_path);
    return !running || !launcher || *running == *launcher;
}

// The old launcher's process, unless it has ended or its id now names another program.
kernel_handle open_old_launcher(const wchar_t* process_id, const wchar_t* launcher_path) {
    const DWORD id = static_cast<DWORD>(_wtoi(process_id));
    kernel_handle process(
        id == 0 ? nullptr
                : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (process && !runs_launcher(process.get(), launcher_path))
        process.reset();
    return process;
}

// Copies the new launcher beside the old one and moves it over it in one step, so a
// failed copy (full disk, a reader holding the file) leaves the old launcher whole.
bool replace_executable(const wchar_t* new_copy, const wchar_t* target) {
    const std::wstring staged = long_path(std::wstring(target) + L".new");
    held_file_pauses pauses;
    if (CopyFileW(long_path(new_copy).c_str(), staged.c_str(), FALSE) &&
        move_into_place(staged, target, pauses) == ERROR_SUCCESS)
        return true;
    DeleteFileW(staged.c_str());
    return false;
}

void restart_launcher(const wchar_t* target) {
    std::wstring command_line = L"\"" + std::wstring(target) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// The last step of a self-update, run by the new copy: wait for the old launcher to
// end, put this copy in its place and start it. Shows nothing and logs nothing.
int hand_off(std::span<LPWSTR> arguments) {
    if (const kernel_handle old_launcher = open_old_launcher(arguments[3], arguments[2]))
        WaitForSingleObject(old_launcher.get(), INFINITE);
    if (replace_executable(arguments[0], arguments[2]))
        restart_launcher(arguments[2]);
    return 0;
}

} // namespace

int run_launcher(HINSTANCE instance, int show_command) {
    int count = 0;
    const argument_array arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!arguments || count < 4)
        return normal_run(instance, show_command);
    if (std::wcscmp(arguments[1], L"update") == 0)
        return hand_off(std::span(arguments.get(), static_cast<std::size_t>(count)));
    return 0;
}
