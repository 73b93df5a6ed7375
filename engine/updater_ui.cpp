#include "updater_ui.h"

HWND progress_window = nullptr;

bool post_string(HWND window, UINT message, const std::string& text, LPARAM lparam) {
    auto copy = std::make_unique<std::string>(text);
    if (!PostMessageW(window, message, reinterpret_cast<WPARAM>(copy.get()), lparam))
        return false;
    static_cast<void>(copy.release());
    return true;
}

bool post_byte_count(HWND window, std::uint64_t bytes) {
    return PostMessageW(window, UM_BYTES, static_cast<WPARAM>(bytes & 0xFFFFFFFFu),
                        static_cast<LPARAM>(bytes >> 32));
}

std::uint64_t posted_byte_count(WPARAM wparam, LPARAM lparam) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(lparam)) << 32 |
           static_cast<std::uint32_t>(wparam);
}

std::unique_ptr<std::string> take_posted_string(WPARAM wparam) {
    return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(wparam));
}
