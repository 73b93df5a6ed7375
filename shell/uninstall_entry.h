#pragma once
// The product's entry in Apps & Features, a key of the user's own (no administrator
// rights): HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\<key>, its name
// derived from the product's so that two products never share one. Its values:
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

#include <optional>
#include <string>

// "Quillomark-" and the MD5 digest of the product's UTF-8 name in hex: registry key
// names ignore letter case and may not hold every character a name may.
std::wstring uninstall_key_name(const std::wstring& product);

// Writes the whole entry for the installation in `folder`; false when the key could
// not be written.
bool write_uninstall_entry(const std::wstring& product, const std::wstring& folder,
                           const std::wstring& publisher);

// The folder that the product's entry names, when there is an entry.
std::optional<std::wstring> uninstall_entry_folder(const std::wstring& product);

// After a completed run: DisplayVersion and EstimatedSize as the installation in
// `folder` now is, when the product's entry names that folder.
void refresh_uninstall_entry(const std::wstring& product, const std::wstring& folder);

// Deletes the product's entry when it names `folder`; false when it is still there.
bool remove_uninstall_entry(const std::wstring& product, const std::wstring& folder);
