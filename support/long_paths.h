#pragma once
// Windows refuses paths of MAX_PATH (260) characters or more unless they carry the
// "\\?\" prefix (or the program is long-path aware and the system allows it). A
// long absolute path gets the prefix; with it the system takes the path literally,
// so its slashes become backslashes first. Short and relative paths stay as they
// are. Header only: the patch tool uses it too.

#include <algorithm>
#include <string>

// Below this length every path works without the prefix: MAX_PATH less the 12
// characters that CreateDirectory keeps for an 8.3 name inside the directory.
constexpr std::size_t longest_plain_path = 247;

inline std::wstring with_long_path_prefix(std::wstring path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const bool on_drive = path.size() > 2 && path[1] == L':' && separator(path[2]);
    const bool on_share = path.size() > 2 && separator(path[0]) && separator(path[1]) &&
                          path[2] != L'?' && path[2] != L'.';
    if (path.size() <= longest_plain_path || !(on_drive || on_share))
        return path;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return on_drive ? L"\\\\?\\" + path : L"\\\\?\\UNC\\" + path.substr(2);
}
