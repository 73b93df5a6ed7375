#include "launcher_entry.h"

#include "check_command.h"
#include "file_helpers.h"
#include "installation.h"
#include "kept_version.h"
#include "launcher_config.h"
#include "logfile.h"
#include "own_resource.h"
#include "prepare_command.h"
#include "process_wait.h"
#include "removal.h"
#include "resource.h"
#include "run_lock.h"
#include "setup.h"
#include "ui_texts.h"
#include "uninstall_entry.h"
#include "update_engine.h"
#include "updater_ui.h"
#include "updater_windows.h"
#include "utf8.h"
#include "win_handles.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
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

// False when no run started; the window then hears that the run has ended.
bool start_update_run(CUpdater& updater, const parsed_launcher_config& settings) {
    // A launcher whose settings are damaged must not guess where to download from.
    if (!settings.config) {
        log_error("Settings record unusable: " + settings.fault);
        updater.set_info_text(ui_text(text_id::version_failed));
        return false;
    }
    updater.trust(*settings.config);
    try {
        updater.start(settings.config->base_url);
        return true;
    } catch (const std::system_error& error) {
        log_error(std::string("Update run could not start: ") + error.what());
        return false;
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

bool is_word(const wchar_t* argument, const wchar_t* word) {
    return std::wcscmp(argument, word) == 0;
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
// unless done already. On Cancel it runs on the window thread before the window
// goes: nothing may throw.
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
struct marked_window_search {
    const wchar_t* name;
    bool found = false;
};

BOOL CALLBACK bring_marked_window_to_front(HWND window, LPARAM search_address) {
    auto& search = *reinterpret_cast<marked_window_search*>(search_address);
    if (!GetPropW(window, search.name))
        return TRUE;
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    search.found = true;
    return FALSE;
}

// A run that has just taken the lock (from a prepare that two starts stopped) may
// not show its window yet: it is looked for a little while. A run without a window
// (a removal) lets the start end after that.
constexpr std::chrono::milliseconds run_window_wait{1000};
constexpr std::chrono::milliseconds run_window_pause{50};

void bring_run_window_to_front(const std::wstring& lock_name) {
    const auto deadline = std::chrono::steady_clock::now() + run_window_wait;
    marked_window_search search{lock_name.c_str()};
    for (;;) {
        EnumWindows(bring_marked_window_to_front, reinterpret_cast<LPARAM>(&search));
        if (search.found || std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(run_window_pause);
    }
}

// A version on trial whose health is watched: the started application must not end
// by an exception within the stamped time. The watch holds no run lock, so that a
// second start runs as usual. True when the version's tries are used up: a run then
// puts the previous version back, with its window.
bool watch_started_application(CUpdater& updater, run_lock& lock) {
    const kernel_handle application = take_started_application();
    const auto limit = updater.start_to_watch();
    if (!application || !limit)
        return false;
    lock.release();
    log_info("Trial: watching the application for " + std::to_string(limit->count()) + " s");
    std::optional<std::uint32_t> exit_code;
    DWORD code = 0;
    if (WaitForSingleObject(application.get(), static_cast<DWORD>(limit->count() * 1000)) ==
            WAIT_OBJECT_0 &&
        GetExitCodeProcess(application.get(), &code))
        exit_code = code;
    return updater.record_watched_start(exit_code);
}

// A silent run (no window, no application start) ends with 0 only when it completed.
// `restore` is set when the run's watched start failed for the last time.
int one_run(HINSTANCE instance, int show_command, bool silent,
            const parsed_launcher_config& settings, bool& restore) {
    // A second start in the same installation only shows the first one's window:
    // two runs would share Temp and replace the same files at once. A prepare gives
    // the installation up to a start.
    const std::wstring folder = own_folder();
    run_lock lock(folder);
    if (!lock.first() && !stop_prepare_and_take(lock, folder)) {
        if (silent)
            return 1;
        bring_run_window_to_front(lock.name());
        return 0;
    }
    if (silent)
        make_run_silent();
    const DWORD window_error = create_progress_window(instance, silent ? SW_HIDE : show_command);
    if (!window_error)
        SetPropW(progress_window, lock.name().c_str(), progress_window);
    log_open(log_file_name);
    log_info("Quillomark Start");
    if (lock.global_refusal())
        log_info("Run lock holds in this session only: the global one was refused (error " +
                 std::to_string(lock.global_refusal()) + ")");
    // Without its window the run could neither report nor hand over the start, and
    // the message loop would wait for ever.
    if (window_error) {
        log_error("Progress window could not be created: " + std::to_string(window_error));
        log_info("Quillomark End");
        return 1;
    }
    CUpdater updater;
    updater.silent = silent;
    if (!start_update_run(updater, settings))
        PostMessageW(progress_window, UM_RUN_ENDED, 0, 0);
    std::optional<shut_down_deadline> deadline;
    set_cancel_handler([&] { begin_shut_down(updater, deadline); });
    const int exit_code = run_message_loop();
    set_cancel_handler({});
    begin_shut_down(updater, deadline);
    updater.shut_down();
    deadline.reset();
    if (run_completed())
        refresh_uninstall_entry(own_product_name(), folder);
    restore = watch_started_application(updater, lock);
    log_info("Quillomark End");
    if (silent)
        return run_completed() ? 0 : 1;
    return exit_code;
}

int normal_run(HINSTANCE instance, int show_command, bool silent,
               const parsed_launcher_config& settings) {
    bool restore = false;
    const int exit_code = one_run(instance, show_command, silent, settings, restore);
    return restore ? one_run(instance, show_command, silent, settings, restore) : exit_code;
}

void restart_launcher(const wchar_t* target, bool silent) {
    std::wstring command_line = quoted(target) + silent_suffix(silent);
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
// end, put this copy in its place and start it, silent when the old run was.
// Shows nothing and logs nothing.
int hand_off(std::span<LPWSTR> arguments) {
    if (const kernel_handle old_launcher = open_launcher_process(arguments[3], arguments[2]))
        WaitForSingleObject(old_launcher.get(), INFINITE);
    if (copy_into_place(arguments[0], arguments[2]))
        restart_launcher(arguments[2], arguments.size() > 4 && is_silent_option(arguments[4]));
    return 0;
}

// The options of the setup, the removal, the silent run, the restart to update, the
// check and the prepare, in any order.
struct launch_options {
    bool silent = false;
    bool uninstall = false;
    std::optional<std::wstring> install_dir;
    // The words after "--after" and "--rate", empty when the command line ends with it.
    std::optional<std::wstring> after;
    bool check = false;
    bool prepare = false;
    std::optional<std::wstring> rate;
    bool healthy = false;
};

constexpr int bad_argument_exit_code = 2;

setup_request request_for(const launch_options& options, const parsed_launcher_config& settings) {
    return {settings.config.value_or(launcher_config{}), options.install_dir, options.silent};
}

// A launcher with an installation folder is the product's setup outside it.
bool is_setup(const setup_request& request) {
    return !request.settings.install_dir.empty() && !inside_installation(request);
}

// Nothing when any argument is not one of these options, or one comes twice.
std::optional<launch_options> read_options(std::span<LPWSTR> arguments) {
    launch_options options;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const wchar_t* word = arguments[index];
        if (is_word(word, L"--install-dir") && !options.install_dir && index + 1 < arguments.size())
            options.install_dir = arguments[++index];
        else if (is_silent_option(word) && !options.silent)
            options.silent = true;
        else if (is_word(word, L"--uninstall") && !options.uninstall)
            options.uninstall = true;
        else if (is_word(word, L"--after") && !options.after)
            options.after = index + 1 < arguments.size() ? arguments[++index] : L"";
        else if (is_word(word, L"--check") && !options.check)
            options.check = true;
        else if (is_word(word, L"--prepare") && !options.prepare)
            options.prepare = true;
        else if (is_word(word, L"--rate") && !options.rate)
            options.rate = index + 1 < arguments.size() ? arguments[++index] : L"";
        else if (is_word(word, L"--healthy") && !options.healthy)
            options.healthy = true;
        else
            return std::nullopt;
    }
    return options;
}

// A launcher with an installation folder is the product's setup outside it; the
// removal only ever removes an installation that its launcher runs in.
int run_with_options(HINSTANCE instance, int show_command, const launch_options& options) {
    const auto settings = own_settings();
    const setup_request request = request_for(options, settings);
    if (options.uninstall) {
        const bool installed = request.settings.install_dir.empty()
                                   ? has_installed_record(own_folder())
                                   : inside_installation(request);
        return installed && !options.install_dir ? run_removal(options.silent) : 1;
    }
    if (is_setup(request))
        return run_setup(request);
    return normal_run(instance, show_command, options.silent, settings);
}

constexpr std::chrono::seconds restart_wait_limit{60};

// The restart to update: waits for the application that asked for it, without a
// window and without the run lock, and then starts as usual. An application still
// running at the limit keeps its files: none is replaced under a running program.
// The setup, outside its installation, has no application to restart: it does
// nothing, as with a wrong word.
int run_after_process(HINSTANCE instance, int show_command, const launch_options& options) {
    const auto process_id = read_decimal_number(*options.after);
    if (!process_id || options.uninstall || options.install_dir ||
        is_setup(request_for(options, own_settings())))
        return bad_argument_exit_code;
    if (!wait_for_process_end(*process_id, restart_wait_limit)) {
        log_open(log_file_name);
        log_error("Process " + std::to_string(*process_id) + " still runs after " +
                  std::to_string(restart_wait_limit.count()) + " s: no update started");
        return 1;
    }
    return run_with_options(instance, show_command, options);
}

// Applications rely on the exit codes of the check and the prepare: with any other
// word they do nothing. Only a prepare takes a rate, of 1 KiB/s or more. The setup,
// outside its installation, has none to check or prepare: it does nothing either,
// so that it never makes a work directory or a log where it was downloaded.
int run_background_mode(const launch_options& options) {
    const bool alone = !options.silent && !options.uninstall && !options.install_dir &&
                       !options.after && options.check != options.prepare;
    const std::optional<DWORD> rate =
        options.rate ? read_decimal_number(*options.rate) : std::optional<DWORD>(0);
    if (!alone || !rate || (options.rate && (options.check || *rate == 0)))
        return bad_argument_exit_code;
    const auto settings = own_settings();
    if (is_setup(request_for(options, settings)))
        return bad_argument_exit_code;
    return options.check ? run_check(settings) : run_prepare(settings, *rate);
}

// The application's word that the version on trial started well: no window, no
// lock, no log; only the trial's state and the kept files change.
int run_healthy(const launch_options& options) {
    if (options.silent || options.uninstall || options.install_dir || options.after ||
        options.check || options.prepare || options.rate ||
        is_setup(request_for(options, own_settings())))
        return bad_argument_exit_code;
    kept_version(wide_to_utf8(own_folder()), sleep_through).confirm_healthy();
    return 0;
}

bool asks_for_background_mode(std::span<LPWSTR> arguments) {
    return arguments.size() > 1 &&
           std::any_of(arguments.begin() + 1, arguments.end(), [](LPWSTR word) {
               return is_word(word, L"--check") || is_word(word, L"--prepare") ||
                      is_word(word, L"--rate") || is_word(word, L"--healthy");
           });
}

} // namespace

int run_launcher(HINSTANCE instance, int show_command) {
    use_text_table(launcher_texts(own_settings().config.value_or(launcher_config{})));
    int count = 0;
    const argument_array arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    const std::span all(arguments.get(), arguments ? static_cast<std::size_t>(count) : 0);
    if (all.size() >= 4 && is_word(all[1], L"update"))
        return hand_off(all);
    if (all.size() >= 4 && is_word(all[1], L"remove"))
        return finish_removal(all);
    // Up to three arguments that are no such options are ignored, as they always were.
    if (const auto options = read_options(all)) {
        if (options->healthy)
            return run_healthy(*options);
        if (options->check || options->prepare || options->rate)
            return run_background_mode(*options);
        return options->after ? run_after_process(instance, show_command, *options)
                              : run_with_options(instance, show_command, *options);
    }
    if (asks_for_background_mode(all))
        return bad_argument_exit_code;
    return all.size() < 4 ? run_with_options(instance, show_command, {}) : 0;
}

void end_launcher_process(int exit_code) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exit_code));
    ExitProcess(static_cast<UINT>(exit_code));
}
