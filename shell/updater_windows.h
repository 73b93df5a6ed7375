#pragma once
// The progress window and the release-notes window: their dialog procedures turn
// the engine's posted messages into texts, the bar, the notes and, at the end, the
// start of the application. Both run on the window thread only.

#include "win_handles.h"

#include <windows.h>

#include <functional>

// Called on the window thread when the user cancels, before the progress window is
// destroyed; it must not throw. Empty by default.
void set_cancel_handler(std::function<void()> handler);

INT_PTR CALLBACK progress_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK notes_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// A silent run: the windows stay hidden, the application is not started, and the
// progress window closes itself once the engine's run has ended, however it ended.
void make_run_silent();

// Whether the engine handed over the application's start: the run completed.
bool run_completed();

// The application the run started, if it started one.
kernel_handle take_started_application();

// The release-notes window opened last, or null when none is open.
HWND current_notes_window();
