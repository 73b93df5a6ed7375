#pragma once
// The product's shortcuts: "<product>.lnk" in the user's Start menu programs folder
// and on the user's desktop, each leading to DIR\quillomark.exe, started in DIR,
// with the launcher's icon and the product's name as description. Written and read
// through the shell's own link object (IShellLinkW and IPersistFile).

#include <string>

// False when either shortcut could not be written.
bool create_shortcuts(const std::wstring& product, const std::wstring& folder);

// Removes those of the product's shortcuts that start in `folder`; false when one
// of them is still there.
bool remove_shortcuts(const std::wstring& product, const std::wstring& folder);
