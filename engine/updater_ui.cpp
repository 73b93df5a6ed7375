#include "updater_ui.h"

HWND progress_window = nullptr;

bool post_string(HWND window, UINT message, const std::string& text) {
    auto copy = std::make_unique<std::string>(text);
    if (!PostMessageW(window, message, reinterpret_cast<WPARAM>(copy.get()), 0))
        return false;
    static_cast<void>(copy.release());
    return true;
}

std::unique_ptr<std::string> take_posted_string(WPARAM wparam) {
    return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(wparam));
}
