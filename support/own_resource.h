#pragma once
// The running executable itself: its path and its resources (Windows only).

#include <windows.h>

#include <string>
#include <string_view>

// The full path of the running executable, as the system reports it.
std::wstring own_executable_path();

// The bytes of the executable's resource of this type and name, mapped for the
// process's lifetime; empty when it has none.
std::string_view own_resource(LPCWSTR type, LPCWSTR name);
