#pragma once
// Owners for Win32 handles. Kernel objects use null as the invalid value, files
// opened with CreateFile and directory searches use INVALID_HANDLE_VALUE; registry keys, loaded
// modules, GDI objects, icons and COM interface pointers are owned the same way.

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

// A directory search of FindFirstFile, ended by FindClose.
struct find_handle_traits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer handle) noexcept { FindClose(handle); }
};

using kernel_handle = unique_handle<kernel_handle_traits>;
using file_handle = unique_handle<file_handle_traits>;
using find_handle = unique_handle<find_handle_traits>;

struct registry_key_traits {
    using pointer = HKEY;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer key) noexcept { RegCloseKey(key); }
};

// A COM interface pointer, released once.
template <typename Interface> struct com_interface_traits {
    using pointer = Interface*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer object) noexcept { object->Release(); }
};

using registry_key = unique_handle<registry_key_traits>;

// A module loaded with LoadLibraryEx, freed once.
struct module_handle_traits {
    using pointer = HMODULE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer module) noexcept { FreeLibrary(module); }
};

using module_handle = unique_handle<module_handle_traits>;

// Objects that the windows make (fonts, icons, device contexts), destroyed once by
// `destroy`.
template <typename Handle, auto destroy> struct destroyed_by {
    using pointer = Handle;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer handle) noexcept { destroy(handle); }
};

using font_handle = unique_handle<destroyed_by<HFONT, DeleteObject>>;
using icon_handle = unique_handle<destroyed_by<HICON, DestroyIcon>>;
using device_context = unique_handle<destroyed_by<HDC, DeleteDC>>;

inline void release_screen_context(HDC context) noexcept {
    ReleaseDC(nullptr, context);
}

// The screen's device context, from GetDC(nullptr).
using screen_context = unique_handle<destroyed_by<HDC, release_screen_context>>;
template <typename Interface> using com_ptr = unique_handle<com_interface_traits<Interface>>;
