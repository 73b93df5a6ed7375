#pragma once
// quillomark.exe --prepare [--rate K]: stages the next update in the work directory
// while the application runs (prepared_update.h), with no window and no application
// start, at background priority, logging to ezo-prepare.log. Exit code 0 when the
// update is prepared or there is nothing to prepare, 1 when it failed or a start of
// the launcher stopped it (what was completed stays staged).
//
// A prepare works under the installation's run lock, so that it never meets a run
// or another prepare in the work directory: when the lock is taken it exits with 0
// at once. A start that finds the lock taken by a prepare asks it to stop through
// a named event of the installation and goes on once it has ended.

#include "launcher_config.h"
#include "run_lock.h"

#include <cstdint>
#include <string>

// `rate_cap_kib`: the most KiB per second the prepare reads, 0 for no cap.
int run_prepare(const parsed_launcher_config& settings, std::uint32_t rate_cap_kib);

// Asks a prepare that holds the installation's lock to stop and waits until the
// lock is this process's; false when no prepare holds it, or it was not freed in time.
bool stop_prepare_and_take(run_lock& lock, const std::wstring& folder);
