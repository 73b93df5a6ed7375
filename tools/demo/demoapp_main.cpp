// The demo's sample application: a small window that shows which version of it
// is installed, with the icon that the publisher stamped into the launcher beside
// it (as Windows reads it from quillomark.exe). Both versions build from this file;
// QM_DEMO_VERSION picks one.
// Once its window is shown it appends a line to "shown.txt" beside itself, so the
// demo knows when to take its screenshot.

#include <windows.h>

#include <cstdio>
#include <string>

#ifndef QM_DEMO_VERSION
#error QM_DEMO_VERSION must be defined
#endif
#define QM_TEXT(x) L## #x
#define QM_VERSION_TEXT(x) QM_TEXT(x)

namespace {

constexpr wchar_t window_class[] = L"QuillomarkDemoApp";
constexpr wchar_t version_text[] = L"Versioon " QM_VERSION_TEXT(QM_DEMO_VERSION);
constexpr COLORREF backgrounds[] = {RGB(0x2b, 0x57, 0x9a), RGB(0x1e, 0x7b, 0x4f)};

constexpr int icon_size = 48;
HICON launcher_icon = nullptr;

std::wstring beside_program(const wchar_t* name) {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

HICON icon_of_launcher(int size) {
    HICON icon = nullptr;
    PrivateExtractIconsW(beside_program(L"quillomark.exe").c_str(), 0, size, size, &icon, nullptr,
                         1, 0);
    return icon;
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
    DrawTextW(context, version_text, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(context, previous);
    DeleteObject(font);
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
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    WNDCLASSW window_type{};
    window_type.lpfnWndProc = window_procedure;
    window_type.hInstance = instance;
    window_type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    window_type.lpszClassName = window_class;
    RegisterClassW(&window_type);
    HWND window =
        CreateWindowW(window_class, L"Quillomarki demo", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, 420, 220, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    launcher_icon = icon_of_launcher(icon_size);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(launcher_icon));
    if (HICON small_icon = icon_of_launcher(GetSystemMetrics(SM_CXSMICON)))
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
    ShowWindow(window, show);
    UpdateWindow(window);
    report_shown();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
