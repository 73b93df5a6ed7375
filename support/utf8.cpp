#include "utf8.h"

#include <cstring>
#include <cwchar>
#include <windows.h>

namespace {

std::wstring to_wide(const char* text, int length) {
    if (length == 0)
        return {};
    const int wide_length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (wide_length == 0) {
        const DWORD error = GetLastError();
        throw utf8_conversion_error(
            error == ERROR_NO_UNICODE_TRANSLATION
                ? "Invalid UTF-8 sequence found in input string."
                : "Can't get length of UTF-16 string (MultiByteToWideChar failed).",
            utf8_conversion_error::to_utf16, static_cast<std::int32_t>(error));
    }
    std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text, length, wide.data(), wide_length) == 0)
        throw utf8_conversion_error(
            "Can't convert string from UTF-8 to UTF-16 (MultiByteToWideChar failed).",
            utf8_conversion_error::to_utf16, static_cast<std::int32_t>(GetLastError()));
    return wide;
}

std::string to_utf8(const wchar_t* text, int length) {
    if (length == 0)
        return {};
    const int utf8_length =
        WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (utf8_length == 0)
        throw utf8_conversion_error(
            "Can't get length of UTF-8 string (WideCharToMultiByte failed).",
            utf8_conversion_error::to_utf8, static_cast<std::int32_t>(GetLastError()));
    std::string utf8(static_cast<std::size_t>(utf8_length), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), utf8_length, nullptr, nullptr) ==
        0)
        throw utf8_conversion_error(
            "Can't convert string from UTF-16 to UTF-8 (WideCharToMultiByte failed).",
            utf8_conversion_error::to_utf8, static_cast<std::int32_t>(GetLastError()));
    return utf8;
}

} // namespace

std::wstring utf8_to_wide(const std::string& text) {
    return to_wide(text.data(), static_cast<int>(text.size()));
}

std::wstring utf8_to_wide(const char* text) {
    return text ? to_wide(text, static_cast<int>(std::strlen(text))) : std::wstring();
}

std::string wide_to_utf8(const std::wstring& text) {
    return to_utf8(text.data(), static_cast<int>(text.size()));
}

std::string wide_to_utf8(const wchar_t* text) {
    return text ? to_utf8(text, static_cast<int>(std::wcslen(text))) : std::string();
}
