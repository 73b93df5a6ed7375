#include "display_scaling.h"

#include "win_handles.h"

#include <map>
#include <utility>
#include <vector>

namespace {

// Calls of newer systems, looked up when first needed: Windows 7 and 8.1 lack some,
// and so does Wine.
template <typename Call> Call user32_call(const char* name) {
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return reinterpret_cast<Call>(reinterpret_cast<void*>(found));
}

UINT system_dpi() {
    const screen_context screen(GetDC(nullptr));
    return static_cast<UINT>(GetDeviceCaps(screen.get(), LOGPIXELSY));
}

// A size the system gives for its own DPI, taken to another (Windows 8.1 has no
// call for it).
int metric_for_dpi(int metric, UINT dpi) {
    static const auto for_dpi = user32_call<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
    return for_dpi ? for_dpi(metric, dpi) : MulDiv(GetSystemMetrics(metric), dpi, system_dpi());
}

// A dialog as the dialog manager made it, at the DPI of its monitor then: every later
// DPI's layout is scaled from this one, so that rounding never adds up.
struct dialog_layout {
    UINT dpi = USER_DEFAULT_SCREEN_DPI;
    LOGFONTW font{};
    std::vector<std::pair<HWND, RECT>> controls;
    font_handle scaled_font;
};

std::map<HWND, dialog_layout> layouts;

RECT rectangle_in_parent(HWND control) {
    RECT rectangle{};
    GetWindowRect(control, &rectangle);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rectangle), 2);
    return rectangle;
}

// Windows 10 (1703 on) would rescale a dialog itself too, in its own way; the dialog
// follows one layout everywhere, its own.
void keep_dialog_manager_from_rescaling(HWND dialog) {
    static const auto set_behavior =
        user32_call<BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS, DIALOG_DPI_CHANGE_BEHAVIORS)>(
            "SetDialogDpiChangeBehavior");
    if (set_behavior)
        set_behavior(dialog, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
}

RECT scaled(const RECT& rectangle, UINT from, UINT to) {
    return {MulDiv(rectangle.left, to, from), MulDiv(rectangle.top, to, from),
            MulDiv(rectangle.right, to, from), MulDiv(rectangle.bottom, to, from)};
}

void move_window(HWND window, const RECT& rectangle) {
    SetWindowPos(window, nullptr, rectangle.left, rectangle.top, rectangle.right - rectangle.left,
                 rectangle.bottom - rectangle.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// The stamp makes every image of the product's .ico resource 1, the launcher's main
// icon group (publisher/launcher_stamp.cpp); a launcher not stamped has none.
constexpr WORD stamped_icon_id = 1;

// The progress window's icons (task bar, Alt+Tab), held while it shows them.
icon_handle big_icon;
icon_handle small_icon;

void take_icon(HWND window, WPARAM kind, SIZE size, icon_handle& shown) {
    icon_handle icon(
        static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(stamped_icon_id),
                                      IMAGE_ICON, size.cx, size.cy, LR_DEFAULTCOLOR)));
    if (!icon)
        return;
    SendMessageW(window, WM_SETICON, kind, reinterpret_cast<LPARAM>(icon.get()));
    shown = std::move(icon);
}

} // namespace

// The DPI of the monitor the window is on (Windows 10); the system's before.
UINT window_dpi(HWND window) {
    static const auto dpi_for_window = user32_call<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    return dpi_for_window ? dpi_for_window(window) : system_dpi();
}

void remember_layout(HWND dialog) {
    dialog_layout layout;
    layout.dpi = window_dpi(dialog);
    const auto font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    GetObjectW(font, sizeof layout.font, &layout.font);
    for (HWND control = GetWindow(dialog, GW_CHILD); control;
         control = GetWindow(control, GW_HWNDNEXT))
        layout.controls.emplace_back(control, rectangle_in_parent(control));
    layouts.insert_or_assign(dialog, std::move(layout));
    keep_dialog_manager_from_rescaling(dialog);
}

// WM_DPICHANGED: the window moved to a monitor of another DPI. It takes the place
// Windows suggests, and its controls and their font the size the new DPI gives them.
void follow_dpi_change(HWND dialog, WPARAM wparam, LPARAM lparam) {
    const auto found = layouts.find(dialog);
    if (found == layouts.end())
        return;
    dialog_layout& layout = found->second;
    const UINT dpi = HIWORD(wparam);
    move_window(dialog, *reinterpret_cast<const RECT*>(lparam));
    LOGFONTW font = layout.font;
    font.lfHeight = MulDiv(font.lfHeight, dpi, layout.dpi);
    font_handle scaled_font(CreateFontIndirectW(&font));
    for (const auto& [control, rectangle] : layout.controls) {
        move_window(control, scaled(rectangle, layout.dpi, dpi));
        if (scaled_font)
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(scaled_font.get()), TRUE);
    }
    if (scaled_font)
        layout.scaled_font = std::move(scaled_font);
}

// The icon's image of the size the DPI asks for, rather than one the system scales.
void take_icons(HWND window, UINT dpi) {
    take_icon(window, ICON_BIG, {metric_for_dpi(SM_CXICON, dpi), metric_for_dpi(SM_CYICON, dpi)},
              big_icon);
    take_icon(window, ICON_SMALL,
              {metric_for_dpi(SM_CXSMICON, dpi), metric_for_dpi(SM_CYSMICON, dpi)}, small_icon);
}

void forget_layout(HWND dialog) {
    layouts.erase(dialog);
}
