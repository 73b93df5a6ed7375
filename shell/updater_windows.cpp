#include "updater_windows.h"

#include "display_scaling.h"
#include "logfile.h"
#include "process_start.h"
#include "resource.h"
#include "text_decoding.h"
#include "ui_texts.h"
#include "updater_ui.h"
#include "utf8.h"

#include <commctrl.h>

#include <array>
#include <string>

namespace {

// Closes the progress window a while after the application's start.
constexpr UINT_PTR closing_timer = 1;

// State of the window thread.
HWND notes_window = nullptr;
std::wstring notes_text;
std::string deferred_start_command;
kernel_handle started_application;
std::function<void()> cancel_handler;
bool silent = false;
bool completed = false;

HINSTANCE module_instance() {
    return GetModuleHandleW(nullptr);
}

// Texts from the server may not be valid UTF-8; they are shown as well as they can be.
std::wstring displayable(const char* utf8) {
    return utf8_to_wide(decode_text_leniently(utf8 ? utf8 : ""));
}

// An edit control breaks lines only at CR LF.
std::wstring with_crlf_line_ends(const std::wstring& text) {
    std::wstring result;
    result.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] == L'\n' && (index == 0 || text[index - 1] != L'\r'))
            result += L'\r';
        result += text[index];
    }
    return result;
}

void start_application(const std::string& command) {
    started_application = start_process(command);
}

void open_notes_window() {
    notes_window = CreateDialogParamW(module_instance(), MAKEINTRESOURCEW(IDD_NOTES),
                                      progress_window, notes_window_procedure, 0);
    ShowWindow(notes_window, SW_SHOWNORMAL);
}

void show_posted_text(HWND window, int control, WPARAM wparam) {
    const auto text = take_posted_string(wparam);
    SetDlgItemTextW(window, control, displayable(text ? text->c_str() : "").c_str());
}

void show_text(HWND window, int control, const std::string& text) {
    SetDlgItemTextW(window, control, utf8_to_wide(text).c_str());
}

// The dialogs' own texts in the launcher's language.
void show_progress_window_texts(HWND window) {
    show_text(window, IDC_INFO, ui_text(text_id::progress_info));
    show_text(window, IDC_NOTES_BUTTON, ui_text(text_id::notes_button));
    show_text(window, IDCANCEL, ui_text(text_id::cancel_button));
}

void show_notes_window_texts(HWND window) {
    SetWindowTextW(window, utf8_to_wide(ui_text(text_id::notes_caption)).c_str());
    show_text(window, IDOK, ui_text(text_id::ok_button));
}

void show_bytes(HWND window, std::uint64_t bytes) {
    show_text(window, IDC_BYTES, ui_text(text_id::byte_count, {std::to_string(bytes >> 10)}));
}

// The text of an error the engine reports by its id; none for an id it never sends.
const std::string* error_text(LPARAM error_id) {
    static const std::array<std::pair<error_string_id, text_id>, 5> texts = {{
        {IDS_UNPACK_FAILED, text_id::unpack_failed},
        {IDS_HASH_MISMATCH, text_id::digest_mismatch},
        {IDS_COPY_FAILED, text_id::copy_failed},
        {IDS_DOWNLOAD_FAILED, text_id::download_failed},
        {IDS_UPDATE_FAILED, text_id::update_failed},
    }};
    for (const auto& [id, text] : texts)
        if (id == error_id)
            return &ui_text(text);
    return nullptr;
}

void show_error(HWND window, LPARAM error_id) {
    if (error_id == 0)
        return;
    const std::string* text = error_text(error_id);
    show_text(window, IDC_TITLE, ui_text(text_id::error_title));
    show_text(window, IDC_INFO, text ? *text : std::string());
}

void receive_release_notes(HWND window, WPARAM wparam, LPARAM lparam) {
    notes_text = with_crlf_line_ends(displayable(reinterpret_cast<const char*>(wparam)));
    EnableWindow(GetDlgItem(window, IDC_NOTES_BUTTON), TRUE);
    if (lparam == 1 && !silent)
        open_notes_window();
}

// Starts now, or once the open release-notes window is closed; a silent run only ends.
// The window closes once the application has started, or `stay_ms` later.
void receive_start_command(HWND window, WPARAM wparam, LPARAM stay_ms) {
    const auto command = take_posted_string(wparam);
    const std::string text = command ? *command : std::string();
    completed = true;
    if (silent) {
        DestroyWindow(window);
        return;
    }
    if (notes_window) {
        deferred_start_command = text;
        return;
    }
    start_application(text);
    if (stay_ms <= 0 || !SetTimer(window, closing_timer, static_cast<UINT>(stay_ms), nullptr))
        DestroyWindow(window);
}

// Under Wine, destroying a window waits for the window manager to withdraw it (two
// seconds for each window without one): the run is told first.
void cancel(HWND window) {
    if (cancel_handler)
        cancel_handler();
    DestroyWindow(window);
}

std::wstring window_text(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    const int length = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Screen readers on Windows name a control without a text of its own, such as the
// bar, after the static text just before it, even a hidden one: the bar's label, a
// hidden copy of the title line, stands between the info line and the bar.
HWND bar_label = nullptr;

void add_bar_label(HWND window) {
    const HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
    bar_label = CreateWindowExW(0, WC_STATICW, L"", WS_CHILD | SS_NOPREFIX, 0, 0, 0, 0, window,
                                nullptr, module_instance(), nullptr);
    SetWindowPos(bar_label, GetWindow(bar, GW_HWNDPREV), 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// Wine's oleacc takes a window's own text as its name instead.
void name_bar_after_title(HWND window) {
    const std::wstring title = window_text(GetDlgItem(window, IDC_TITLE));
    SetWindowTextW(bar_label, title.c_str());
    SetWindowTextW(GetDlgItem(window, IDC_PROGRESS_BAR), title.c_str());
}

void prepare_progress_window(HWND window) {
    add_bar_label(window);
    remember_layout(window);
    take_icons(window, window_dpi(window));
    name_bar_after_title(window);
}

INT_PTR handle_progress_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        show_progress_window_texts(window);
        prepare_progress_window(window);
        return TRUE;
    case WM_DPICHANGED:
        follow_dpi_change(window, wparam, lparam);
        take_icons(window, HIWORD(wparam));
        return TRUE;
    case WM_NCDESTROY:
        forget_layout(window);
        return FALSE;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL)
            cancel(window);
        else if (LOWORD(wparam) == IDC_NOTES_BUTTON)
            open_notes_window();
        else
            return FALSE;
        return 0;
    case UM_PROGRESS:
        SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETPOS, wparam, 0);
        return 0;
    case UM_SET_TITLE:
        show_posted_text(window, IDC_TITLE, wparam);
        name_bar_after_title(window);
        return 0;
    case UM_SET_INFO:
        show_posted_text(window, IDC_INFO, wparam);
        return 0;
    case UM_BYTES:
        show_bytes(window, posted_byte_count(wparam, lparam));
        return 0;
    case UM_ERROR:
        show_error(window, lparam);
        name_bar_after_title(window);
        return 0;
    case UM_RELEASE_NOTES:
        receive_release_notes(window, wparam, lparam);
        return 0;
    case UM_START_APP:
        receive_start_command(window, wparam, lparam);
        return 0;
    case WM_TIMER:
        if (wparam != closing_timer)
            return FALSE;
        KillTimer(window, closing_timer);
        DestroyWindow(window);
        return 0;
    case UM_RUN_ENDED:
        if (silent)
            DestroyWindow(window);
        return 0;
    default:
        return FALSE;
    }
}

INT_PTR handle_notes_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DPICHANGED) {
        follow_dpi_change(window, wparam, lparam);
        return TRUE;
    }
    if (message == WM_NCDESTROY)
        forget_layout(window);
    if (message == WM_INITDIALOG) {
        remember_layout(window);
        show_notes_window_texts(window);
        SetDlgItemTextW(window, IDC_NOTES_TEXT, notes_text.c_str());
        // Focus on OK rather than the text, which the dialog would show selected.
        SetFocus(GetDlgItem(window, IDOK));
        return FALSE;
    }
    if (message != WM_COMMAND || LOWORD(wparam) != IDOK)
        return FALSE;
    EndDialog(window, 1);
    notes_window = nullptr;
    if (!deferred_start_command.empty()) {
        start_application(deferred_start_command);
        PostMessageW(progress_window, WM_DESTROY, 0, 0);
    }
    return 0;
}

void log_window_failure(const char* what) {
    log_error(std::string("Window message failed: ") + what);
}

} // namespace

INT_PTR CALLBACK progress_window_procedure(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
    try {
        return handle_progress_message(window, message, wparam, lparam);
    } catch (const std::exception& error) {
        log_window_failure(error.what());
    } catch (...) {
        log_window_failure("unknown error");
    }
    return 0;
}

INT_PTR CALLBACK notes_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    try {
        return handle_notes_message(window, message, wparam, lparam);
    } catch (const std::exception& error) {
        log_window_failure(error.what());
    } catch (...) {
        log_window_failure("unknown error");
    }
    return 0;
}

void set_cancel_handler(std::function<void()> handler) {
    cancel_handler = std::move(handler);
}

HWND current_notes_window() {
    return notes_window;
}

void make_run_silent() {
    silent = true;
}

bool run_completed() {
    return completed;
}

kernel_handle take_started_application() {
    return std::move(started_application);
}
