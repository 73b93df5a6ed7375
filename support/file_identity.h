#pragma once
// The identity of a file or folder: its volume and file index. The same file gives
// the same identity whatever form its path is written in (letter case, short names,
// "..", another drive letter or link leading to it). Windows only.

#include <windows.h>

#include <optional>
#include <string>

struct file_identity {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    bool operator==(const file_identity&) const = default;
};

// None when the path cannot be opened.
std::optional<file_identity> identity_of(const std::wstring& path);

// True when both paths exist and name the same file or folder.
bool same_file(const std::wstring& first, const std::wstring& second);
