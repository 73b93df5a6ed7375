#pragma once
// Dialogs that stay sharp on every display: each follows the DPI of its monitor, and
// the progress window shows the stamped icon at the sizes that DPI asks for. Calls
// that newer systems have are looked up at run time, so that older ones (and Wine)
// fall back to the system's DPI. Window thread only.

#include <windows.h>

// The DPI of the monitor the window is on (Windows 10); the system's before.
UINT window_dpi(HWND window);

// At WM_INITDIALOG: the dialog as the dialog manager made it, at the DPI of its
// monitor then. Every later DPI's layout is scaled from this one, so that rounding
// never adds up.
void remember_layout(HWND dialog);
// WM_DPICHANGED: the window moved to a monitor of another DPI. It takes the place
// Windows suggests, and its controls and their font the size the new DPI gives them.
void follow_dpi_change(HWND dialog, WPARAM wparam, LPARAM lparam);
// At WM_NCDESTROY.
void forget_layout(HWND dialog);

// The stamped icon's images of the sizes `dpi` asks for, rather than ones the system
// scales, as the window's big and small icon (task bar, Alt+Tab); a launcher that
// was not stamped has none.
void take_icons(HWND window, UINT dpi);
