#pragma once
// What the patch tool needs from the operating system's console side.

#include <string>

// Standard output passes bytes through unchanged, so that the tool's messages end in
// a bare "\n" everywhere.
void use_binary_standard_output();

// The operating system's text for the error of the last failed call. On Windows the
// FormatMessageW text for GetLastError (system table, inserts ignored, default
// language, at most 1024 characters) in the system code page; on other systems
// strerror(errno). Call it before anything else can change the error.
std::string last_system_message();
