#pragma once
// The user's own folders: where shortcuts go, the temporary folder, and the folders
// that other programs share, which an installation must never take for its own (its
// work directory is removed after every update, its files at the removal).

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <optional>
#include <string>

// A known folder's path (created when missing, unless `flags` say otherwise); none
// when the system cannot name it.
std::optional<std::wstring> known_folder(const KNOWNFOLDERID& id, DWORD flags = KF_FLAG_CREATE);

// The user's temporary folder, without a trailing backslash.
std::wstring temporary_folder();

// Why `folder` (a full path) cannot be an installation's own: a drive's root, one
// of the user's shared folders where the system puts them (the profile, AppData and
// its Local, Roaming and LocalLow, the temporary folder, the desktop, documents,
// downloads, the Start menu and its programs, the folder for the user's programs,
// ...), a folder that the publisher's stamp also refuses below the profile or an
// AppData folder (is_shared_user_folder), or a folder above any of these. None when
// it can be.
std::optional<std::wstring> shared_folder_reason(const std::wstring& folder);
