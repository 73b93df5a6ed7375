// The demo's sample application: a small window that shows which version of it
// is installed, with the icon that the publisher stamped into the launcher beside
// it (as Windows reads it from quillomark.exe). Both versions build from this file;
// QM_DEMO_VERSION picks one, and QM_DEMO_BROKEN=1 makes a release that never starts.
// Once its window is shown it appends a line to "shown.txt" beside itself, so the
// demo knows when to take its screenshot.
//
// It prepares the next update as an application would: when it opens it starts
// "quillomark.exe --prepare" in the background, and when that ends with 0 and
// "quillomark.exe --check" answers "prepared N", it says so in its window (and in
// "prepared.txt" beside itself, for the demo). Until then it asks again every few
// seconds, so that a release published while it runs is prepared too; a real
// application would ask far less often.

#include "launcher_config.h"
#include "ui_texts.h"
#include "utf8.h"
#include "win_handles.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#ifndef QM_DEMO_VERSION
#error QM_DEMO_VERSION must be defined
#endif

namespace {

// Ends the process with the exception's code, as Windows does for an unhandled
// exception, without the debugger that Wine would start.
LONG WINAPI end_with_exception_code(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

// The bug of the broken release: a write through a null pointer.
void crash_if_broken() {
    if constexpr (QM_DEMO_BROKEN) {
        SetUnhandledExceptionFilter(end_with_exception_code);
        *static_cast<volatile int*>(nullptr) = 1;
    }
}

constexpr wchar_t window_class[] = L"QuillomarkDemoApp";
constexpr COLORREF backgrounds[] = {RGB(0x2b, 0x57, 0x9a), RGB(0x1e, 0x7b, 0x4f)};

constexpr int icon_size = 48;
HICON launcher_icon = nullptr;
constexpr UINT prepared_message = WM_APP + 1;
constexpr std::chrono::seconds prepare_interval{5};
std::wstring version_text;
std::wstring prepared_text;
std::atomic<bool> closing{false};

std::wstring beside_program(const wchar_t* name) {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// The sample speaks the language that the publisher stamped into the launcher beside it.
void use_launcher_texts() {
    const module_handle launcher(
        LoadLibraryExW(beside_program(L"quillomark.exe").c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    const std::wstring name = utf8_to_wide(launcher_config_resource);
    HRSRC found = launcher ? FindResourceW(launcher.get(), name.c_str(), RT_RCDATA) : nullptr;
    HGLOBAL loaded = found ? LoadResource(launcher.get(), found) : nullptr;
    const auto* record = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!record)
        return;
    const parsed_launcher_config settings =
        parse_launcher_config({record, SizeofResource(launcher.get(), found)});
    if (settings.config)
        use_text_table(launcher_texts(*settings.config));
}

HICON icon_of_launcher(int size) {
    HICON icon = nullptr;
    PrivateExtractIconsW(beside_program(L"quillomark.exe").c_str(), 0, size, size, &icon, nullptr,
                         1, 0);
    return icon;
}

struct started_process {
    DWORD exit_code = 1;
    std::string output;
};

// Runs quillomark.exe beside this program with `arguments`, in its folder, and
// collects what it writes to standard output.
started_process run_launcher(const wchar_t* arguments) {
    started_process result;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherited, 0))
        return result;
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    const std::wstring folder = beside_program(L"");
    std::wstring command = L"\"" + beside_program(L"quillomark.exe") + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer;
    PROCESS_INFORMATION started{};
    const bool ran = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    folder.c_str(), &startup, &started);
    CloseHandle(writer);
    if (ran) {
        char buffer[256];
        DWORD got = 0;
        while (ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0)
            result.output.append(buffer, got);
        WaitForSingleObject(started.hProcess, INFINITE);
        GetExitCodeProcess(started.hProcess, &result.exit_code);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    CloseHandle(reader);
    return result;
}

// The version that the next start applies without downloading, or 0.
int prepared_version() {
    if (run_launcher(L"--prepare").exit_code != 0)
        return 0;
    const started_process check = run_launcher(L"--check");
    int version = 0;
    if (check.exit_code == 11 && std::sscanf(check.output.c_str(), "prepared %d", &version) == 1)
        return version;
    return 0;
}

void prepare_in_background(HWND window) {
    while (!closing) {
        if (const int version = prepared_version()) {
            PostMessageW(window, prepared_message, static_cast<WPARAM>(version), 0);
            return;
        }
        std::this_thread::sleep_for(prepare_interval);
    }
}

void show_prepared(HWND window, int version) {
    prepared_text =
        utf8_to_wide(ui_text(text_id::sample_update_prepared, {std::to_string(version)}));
    InvalidateRect(window, nullptr, TRUE);
    UpdateWindow(window);
    if (FILE* marker = _wfopen(beside_program(L"prepared.txt").c_str(), L"ab")) {
        std::fprintf(marker, "prepared %d\n", version);
        std::fclose(marker);
    }
}

void draw_prepared_text(HDC context, RECT area) {
    if (prepared_text.empty())
        return;
    HFONT font = CreateFontW(18, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0,
                             0, L"Tahoma");
    HGDIOBJ previous = SelectObject(context, font);
    area.top = area.bottom - 56;
    area.left += 12;
    area.right -= 12;
    DrawTextW(context, prepared_text.c_str(), -1, &area, DT_CENTER | DT_WORDBREAK);
    SelectObject(context, previous);
    DeleteObject(font);
}

void paint(HWND window) {
    PAINTSTRUCT paint_info;
    HDC context = BeginPaint(window, &paint_info);
    RECT area;
    GetClientRect(window, &area);
    HBRUSH brush = CreateSolidBrush(backgrounds[(QM_DEMO_VERSION - 1) % 2]);
    FillRect(context, &area, brush);
    DeleteObject(brush);
    HFONT font = CreateFontW(48, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0,
                             L"Tahoma");
    HGDIOBJ previous = SelectObject(context, font);
    SetBkMode(context, TRANSPARENT);
    SetTextColor(context, RGB(255, 255, 255));
    DrawTextW(context, version_text.c_str(), -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(context, previous);
    DeleteObject(font);
    draw_prepared_text(context, area);
    if (launcher_icon)
        DrawIconEx(context, 12, 12, launcher_icon, icon_size, icon_size, 0, nullptr, DI_NORMAL);
    EndPaint(window, &paint_info);
}

void report_shown() {
    if (FILE* marker = _wfopen(beside_program(L"shown.txt").c_str(), L"ab")) {
        std::fputs("shown\n", marker);
        std::fclose(marker);
    }
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_PAINT:
        paint(window);
        return 0;
    case prepared_message:
        show_prepared(window, static_cast<int>(wparam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    crash_if_broken();
    use_launcher_texts();
    version_text =
        utf8_to_wide(ui_text(text_id::sample_version, {std::to_string(QM_DEMO_VERSION)}));
    WNDCLASSW window_type{};
    window_type.lpfnWndProc = window_procedure;
    window_type.hInstance = instance;
    window_type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    window_type.lpszClassName = window_class;
    RegisterClassW(&window_type);
    HWND window = CreateWindowW(
        window_class, utf8_to_wide(ui_text(text_id::sample_caption)).c_str(), WS_OVERLAPPEDWINDOW,
        CW_USEDEFAULT, CW_USEDEFAULT, 420, 220, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    launcher_icon = icon_of_launcher(icon_size);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(launcher_icon));
    if (HICON small_icon = icon_of_launcher(GetSystemMetrics(SM_CXSMICON)))
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
    ShowWindow(window, show);
    UpdateWindow(window);
    report_shown();
    std::thread preparing([window] {
        try {
            prepare_in_background(window);
        } catch (...) {
            // The application goes on without an update prepared.
        }
    });
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    closing = true;
    preparing.detach();
    return 0;
}
