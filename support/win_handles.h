#pragma once
// Owners for Win32 kernel handles. Kernel objects use null as the invalid value,
// files opened with CreateFile use INVALID_HANDLE_VALUE.

#include "unique_handle.h"

#include <windows.h>

struct kernel_handle_traits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer handle) noexcept { CloseHandle(handle); }
};

struct file_handle_traits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer handle) noexcept { CloseHandle(handle); }
};

using kernel_handle = unique_handle<kernel_handle_traits>;
using file_handle = unique_handle<file_handle_traits>;
