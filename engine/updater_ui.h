#pragma once
// The messages through which the engine's threads drive the progress window. The
// engine never calls a window function that waits for the window thread: it only
// posts these. Strings passed by pointer are either new std::string objects whose
// ownership passes to the window (title, info, start command) or characters that
// the engine keeps alive for the whole run (release notes, error text).

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

enum updater_message : UINT {
    UM_PROGRESS = WM_USER + 100,      // wParam: percentage 0 to 100
    UM_SET_TITLE = WM_USER + 101,     // wParam: new std::string*, freed by the window
    UM_SET_INFO = WM_USER + 102,      // wParam: new std::string*, freed by the window
    UM_BYTES = WM_USER + 103,         // wParam, lParam: bytes received, low and high 32 bits
    UM_ERROR = WM_USER + 104,         // wParam: engine's error text; lParam: string-table id
    UM_RELEASE_NOTES = WM_USER + 105, // wParam: engine's UTF-8 notes; lParam: 1 = show now
    UM_START_APP = WM_USER + 106,     // wParam: new std::string* command, freed by the window;
                                      // lParam: milliseconds the window stays after the start
    UM_RUN_ENDED = WM_USER + 107,     // the engine's last thread ends; nothing follows
};

// The errors that UM_ERROR shows under the error title, each by its text of the
// launcher's language (ui_texts.h); the numbers are those of the former string table.
enum error_string_id : LPARAM {
    IDS_UNPACK_FAILED = 104,
    IDS_HASH_MISMATCH = 105,
    IDS_COPY_FAILED = 106,
    IDS_DOWNLOAD_FAILED = 107,
    IDS_UPDATE_FAILED = 108,
};

// The progress window, written once by the entry before the engine is created.
extern HWND progress_window;

// Posts a heap copy of `text` with wParam pointing at it; the copy is freed here
// when the window cannot take it.
bool post_string(HWND window, UINT message, const std::string& text, LPARAM lparam = 0);

// Posts UM_BYTES with the count split over wParam and lParam, which a 32-bit
// program holds in 32 bits each, and reads it back from them.
bool post_byte_count(HWND window, std::uint64_t bytes);
std::uint64_t posted_byte_count(WPARAM wparam, LPARAM lparam);

// Takes ownership of the string that came with a UM_SET_TITLE, UM_SET_INFO or
// UM_START_APP message (null stays null).
std::unique_ptr<std::string> take_posted_string(WPARAM wparam);
