#pragma once
// The identity of a file or folder: its volume and file index. The same file gives
// the same identity whatever form its path is written in (letter case, short names,
// "..", another drive letter or link leading to it). And for paths that name nothing
// yet, their full form and their letter case as Windows compares them. Windows only.

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

// The full path (GetFullPathNameW) without trailing backslashes, but for a drive's
// root ("C:\\"); empty when the text is no usable path.
std::wstring full_path(const std::wstring& path);

// The text in upper case as the system compares names (the invariant locale), so
// that paths differing only in letter case give one text.
std::wstring path_in_upper_case(const std::wstring& path);
