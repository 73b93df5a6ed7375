#pragma once
// Names from the server become paths below the installation directory and parts
// of command lines, so only names that stay inside that directory are accepted.

#include "version_info.h"

#include <string>
#include <string_view>

// True for a relative path of one or more components separated by backslashes or
// slashes that cannot leave the directory it is appended to. Refused: an empty
// name; invalid UTF-8; an absolute, drive-qualified or UNC path; a ":" anywhere
// (drives and alternate data streams); an empty component; a component of only
// dots and blanks (".", ".." and what Windows trims to them); control characters
// and the characters Windows forbids in names (< > " | ? *); reserved device names
// (CON, NUL, COM1, ...), which would open a device instead of a file.
bool is_safe_relative_name(std::string_view name);

// The name as it goes into a URL: bytes outside printable ASCII, blanks and the
// characters that would end or escape the path ("%", "#", "?") are percent-encoded,
// so every server and proxy finds the file under its exact name. Backslashes stay;
// WinINet sends them as slashes.
std::string url_escaped_name(std::string_view name);

// True when every record's name is safe.
bool names_stay_inside(const version_info& info);

// A key under which names that may name the same file on Windows meet: letter case
// ignored (every non-ASCII letter counts as one and the same), slashes as
// backslashes, and the trailing dots and blanks that Windows drops from each
// component dropped. Names with different keys name different files, except
// through short 8.3 names, which contain a "~".
std::string file_alias_key(std::string_view name);
