#pragma once
// Conversions between the UTF-8 used everywhere inside the launcher and the UTF-16
// of the Win32 calls. These are the only two places where encodings change.

#include <cstdint>
#include <stdexcept>
#include <string>

class utf8_conversion_error : public std::runtime_error {
  public:
    enum direction_type : std::int32_t { to_utf8 = 0, to_utf16 = 1 };

    utf8_conversion_error(const char* message, direction_type direction, std::int32_t error_code)
        : std::runtime_error(message), direction_(direction), error_code_(error_code) {}

    std::int32_t direction() const noexcept { return direction_; }
    // GetLastError right after the failing call.
    std::int32_t error_code() const noexcept { return error_code_; }

  private:
    std::int32_t direction_;
    std::int32_t error_code_;
};

// Empty input (or a null pointer) gives empty output; invalid UTF-8 throws.
std::wstring utf8_to_wide(const std::string& text);
std::wstring utf8_to_wide(const char* text);
std::string wide_to_utf8(const std::wstring& text);
std::string wide_to_utf8(const wchar_t* text);
