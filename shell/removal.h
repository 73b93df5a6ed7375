#pragma once
// The removal of an installation: "quillomark.exe --uninstall [--silent]", as the
// uninstall entry names it. It removes what the installation created and nothing
// else, in an order that a second removal can always finish:
//
// 1. in the installed launcher: ask "Kas eemaldada rakendus <product> ja kõik selle
//    failid?" (not when silent); take the installation's run lock (a run going on
//    ends the removal with "Rakendust uuendatakse praegu. Proovi hiljem uuesti.");
//    remove every file the installed record lists, then the record, ezo.log,
//    quillomark.id and Temp, and the folders that became empty (a read-only file is
//    made writable first; a file held after the usual retries ends the removal with
//    "Faili ei saanud eemaldada, sest see on kasutusel: <name>. Sulge rakendus ja
//    proovi uuesti.", the launcher, the entry and the shortcuts left in place); then
//    copy itself into the user's temporary folder as
//    quillomark-removal-<process id>.exe and start that copy;
// 2. in the copy ("remove", the running launcher's path, the first process's id,
//    and "--silent" in a silent removal): wait for the first process to end, remove
//    the shortcuts that lead to the launcher, the uninstall entry that names its
//    folder, and last the launcher and the folder when nothing is left in it (what
//    cannot be removed stops the removal with the message above naming it, or
//    "Registrikirjet ei saanud eemaldada: <key>. Proovi uuesti." for the entry);
//    then say "Rakendus <product> on eemaldatud." and, when files remain that the
//    installation did not create, "Kausta <DIR> jäid failid, mida paigaldus ei
//    loonud: N."
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

// The copies that earlier removals left in the temporary folder, but those that a
// process still runs (another removal, of this product or another, going on).
void remove_removal_leftovers();

// Step 1's removal of the installed files from `folder`, all but the running
// launcher's; the name of a file that could not be removed, or nothing.
std::optional<std::wstring> remove_installed_files(const std::wstring& folder,
                                                   const std::wstring& launcher);

// What a removal could not take away: a file (named relative to the installation
// folder, or a shortcut by its path), or the uninstall entry (by its key's path).
struct left_in_place {
    std::wstring name;
    bool entry = false;
};

// Step 2's removal, after the launcher has ended: the shortcuts that lead to it,
// the entry that names its folder, then the launcher and the folder when nothing
// is left in it. What stopped it, or nothing; the launcher stays until the
// shortcuts and the entry are gone, so that a second removal can finish.
std::optional<left_in_place> remove_launcher_and_traces(const std::wstring& launcher);
