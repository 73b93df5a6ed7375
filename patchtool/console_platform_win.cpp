#include "console_platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace {

constexpr DWORD message_capacity = 1024;

std::string to_system_code_page(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, narrow.data(), size, nullptr, nullptr);
    return narrow;
}

} // namespace

void use_binary_standard_output() {
    _setmode(_fileno(stdout), _O_BINARY);
}

std::string last_system_message() {
    const DWORD error = GetLastError();
    wchar_t text[message_capacity];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, message_capacity, nullptr);
    return length > 0 ? to_system_code_page(text, static_cast<int>(length)) : std::string();
}
