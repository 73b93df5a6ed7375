#pragma once
// Resources of the running executable itself (Windows only).

#include <windows.h>

#include <string_view>

// The bytes of the executable's resource of this type and name, mapped for the
// process's lifetime; empty when it has none.
std::string_view own_resource(LPCWSTR type, LPCWSTR name);
