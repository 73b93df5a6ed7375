#pragma once
// An installation's shortcuts: "<product>.lnk" in the user's Start menu programs
// folder and on the user's desktop, each leading to DIR\quillomark.exe, started in
// DIR, with the launcher's icon and the product's name as description. A shortcut
// of that name that leads elsewhere (another installation of the product) is left
// alone: this installation's is then "<product> (2).lnk", and so on. Written and
// read through the shell's own link object (IShellLinkW and IPersistFile).

#include <string>
#include <vector>

// Writes both shortcuts; false when either could not be written. `made` gets the
// paths of those that were not there before, the ones a failed setup takes back.
bool create_shortcuts(const std::wstring& product, const std::wstring& folder,
                      std::vector<std::wstring>& made);

// Every shortcut in those two folders that leads to the launcher, whatever its name
// (the product may have been renamed since the setup).
std::vector<std::wstring> installation_shortcuts(const std::wstring& launcher);
