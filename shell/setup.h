#pragma once
// The setup is the launcher itself: one whose settings record names an
// installation folder (install_dir, launcher_config.h), started outside that
// folder, installs the product there for the user, as downloaded:
//
// 1. the folder is "--install-dir PATH" of its command line (the user's choice),
//    or install_dir with its variable expanded; it is created;
// 2. a folder that already holds an installation only gets its launcher started,
//    so that running the setup twice gives one installation;
// 3. otherwise the setup copies itself there as quillomark.exe (flushed, then moved
//    into place) and writes the shortcuts (shortcuts.h) and the uninstall entry
//    (uninstall_entry.h);
// 4. and starts DIR\quillomark.exe in DIR, which makes the first installation with
//    its window and starts the application.
//
// With --silent nothing is shown at any point: the installed launcher runs with
// --silent (and hands that on through a self-update), the setup waits for it and
// every launcher it starts, and a first installation that did not complete is
// removed again with its shortcuts and entry. A setup that fails shows "Rakenduse
// <product> paigaldamine kausta <DIR> ebaõnnestus." unless silent.
// Exit code: 0 when done (silent: the installation is complete), 1 otherwise.

#include "launcher_config.h"

#include <optional>
#include <string>

struct setup_request {
    launcher_config settings;
    std::optional<std::wstring> folder; // --install-dir of the command line
    bool silent = false;
};

// True when the launcher runs inside its installation and so is no setup: its
// folder is the installation folder (the chosen one, or the settings record's),
// holds an installed record, or is the folder that the product's uninstall entry
// names (where a setup installed into a folder of the user's choice).
bool inside_installation(const setup_request& request);

int run_setup(const setup_request& request);
