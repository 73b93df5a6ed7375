#pragma once
// Which file or directory a path names: the volume's serial number and the file's
// index on that volume. Every name of one file gives the same identity: letter case,
// short names, the "\\?\" form, links and junctions, a drive mapped onto a share.

#include <windows.h>

#include <optional>
#include <string>

struct file_identity {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    bool operator==(const file_identity&) const = default;
};

// Nothing when the path cannot be opened or the system does not tell.
std::optional<file_identity> identity_of(const std::wstring& path);
