#pragma once
// A message-only window that stands in for the progress window: it collects what
// the engine posts, and frees the strings that the real window would free.

#include "updater_ui.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct posted_message {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    std::string text; // the string that came with the message, if any
};

class message_window {
  public:
    message_window() : previous(progress_window) {
        handle = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        progress_window = handle;
    }
    ~message_window() {
        take();
        DestroyWindow(handle);
        progress_window = previous;
    }
    message_window(const message_window&) = delete;
    message_window& operator=(const message_window&) = delete;

    // Everything posted since the last call, in order.
    std::vector<posted_message> take() {
        std::vector<posted_message> messages;
        MSG message;
        while (PeekMessageW(&message, handle, 0, 0, PM_REMOVE))
            messages.push_back(received(message));
        return messages;
    }

  private:
    static posted_message received(const MSG& message) {
        posted_message posted{message.message, message.wParam, message.lParam, {}};
        const bool owned = message.message == UM_SET_TITLE || message.message == UM_SET_INFO ||
                           message.message == UM_START_APP;
        if (owned)
            posted.text = *take_posted_string(message.wParam);
        else if (message.message == UM_RELEASE_NOTES || message.message == UM_ERROR)
            posted.text = reinterpret_cast<const char*>(message.wParam);
        return posted;
    }

    HWND previous;
    HWND handle;
};
