#pragma once
// The removal of an installation: "quillomark.exe --uninstall [--silent]", as the
// uninstall entry names it. It removes what the installation created and nothing
// else, in an order that a second removal can always finish:
//
// 1. in the installed launcher: ask "Kas eemaldada rakendus <product> ja kõik selle
//    failid?" (not when silent); take the installation's run lock (a run going on
//    ends the removal with "Rakendust uuendatakse praegu. Proovi hiljem uuesti.");
//    remove every file the installed record lists, then the record, ezo.log,
//    quillomark.id and Temp, and the folders that became empty (a file held after
//    the usual retries ends the removal with "Faili ei saanud eemaldada, sest see on
//    kasutusel: <name>. Sulge rakendus ja proovi uuesti.", the launcher, the entry
//    and the shortcuts left in place); then copy itself into the user's temporary
//    folder as quillomark-removal-<process id>.exe and start that copy;
// 2. in the copy ("remove", the installed launcher's path, the first process's id,
//    and "--silent" in a silent removal): wait for the first process to end, remove
//    the launcher, the shortcuts that start in the folder, the uninstall entry that
//    names it, and the folder when nothing is left in it; then say "Rakendus
//    <product> on eemaldatud." and, when files remain that the installation did not
//    create, "Kausta <DIR> jäid failid, mida paigaldus ei loonud: N."
//
// A program cannot delete its own executable: each copy stays in the temporary
// folder until the next setup or removal deletes it (remove_removal_leftovers).
// Silent removals show nothing; every step's exit code is 0 when its part is done,
// 1 otherwise.

#include <optional>
#include <span>
#include <string>

int run_removal(bool silent);
int finish_removal(std::span<wchar_t*> arguments);

// The copies that earlier removals left in the temporary folder, but a running one.
void remove_removal_leftovers();

// Step 1's removal of the installed files from `folder`; the name of a file that
// could not be removed, or nothing.
std::optional<std::wstring> remove_installed_files(const std::wstring& folder);

// Step 2's removal of the launcher, the shortcuts, the entry and the emptied folder,
// after the launcher has ended; false when any of them is still there.
bool remove_launcher_and_traces(const std::wstring& product, const std::wstring& folder);
