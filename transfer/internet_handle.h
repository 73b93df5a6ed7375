#pragma once
// Owner of one WinINet handle (Internet session, connection or request).

#include "unique_handle.h"

#include <windows.h>

#include <wininet.h>

struct internet_handle_traits {
    using pointer = HINTERNET;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer handle) noexcept { InternetCloseHandle(handle); }
};

using internet_handle = unique_handle<internet_handle_traits>;
