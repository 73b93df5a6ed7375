#pragma once
// An installation's entry in Apps & Features, a key of the user's own (no
// administrator rights): HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\<key>.
// Its values:
//
//   DisplayName           the product (REG_SZ)
//   DisplayIcon           "DIR\quillomark.exe,0"
//   DisplayVersion        the installed version number (after the first completed run)
//   Publisher             the publisher of the settings record (when it names one)
//   InstallLocation       DIR
//   InstallDate           the day of the setup, yyyymmdd
//   UninstallString       "\"DIR\quillomark.exe\" --uninstall"
//   QuietUninstallString  "\"DIR\quillomark.exe\" --uninstall --silent"
//   NoModify, NoRepair    1 (REG_DWORD)
//   EstimatedSize         what the installation takes, in KiB (REG_DWORD)
//
// An entry belongs to its installation folder: a new one is named from the product
// and the folder, so that two installations of one product keep an entry each, and
// an entry is found by the folder it names among the keys starting "Quillomark-",
// so that a launcher whose product was renamed, and an installation whose entry
// was named from the product alone, still find theirs.

#include <optional>
#include <string>

// "Quillomark-" and the MD5 digest in hex of the product's UTF-8 name, a line
// break and the folder's full path in upper case: registry key names ignore letter
// case and may not hold every character a name may.
std::wstring uninstall_key_name(const std::wstring& product, const std::wstring& folder);

// The full registry path of an entry's key below HKCU, for messages.
std::wstring uninstall_key_path(const std::wstring& key);

// The key of the entry that names `folder`, when there is one.
std::optional<std::wstring> uninstall_entry_key(const std::wstring& folder);

// The product that entry shows (DisplayName).
std::optional<std::wstring> uninstall_entry_product(const std::wstring& key);

// Writes the whole entry under `key` for the installation in `folder`; false when
// the key could not be written.
bool write_uninstall_entry(const std::wstring& key, const std::wstring& product,
                           const std::wstring& folder, const std::wstring& publisher);

// After a completed run: DisplayName, DisplayVersion and EstimatedSize as the
// installation in `folder` now is, when an entry names that folder.
void refresh_uninstall_entry(const std::wstring& product, const std::wstring& folder);

// Deletes the entry's key; false when it is still there.
bool remove_uninstall_key(const std::wstring& key);
