#pragma once
// The launcher's process entry behind wWinMain. The command line chooses the mode:
//
//   no arguments, or up to three that are none of the options below: the normal
//     run (progress window, log, update engine, message loop, ordered shut-down),
//     exit code 0; or, for a launcher with an installation folder started outside
//     it, the setup (setup.h);
//   any of --silent, --uninstall and --install-dir PATH, each at most once: the
//     setup with the folder chosen, a silent run (no window, no application start,
//     exit code 0 only when it completed) or silent setup, and the removal
//     (removal.h), silent or not;
//   --after PID, alone or with --silent: the restart to update (process_wait.h): once
//     the process PID has ended (or at once when there is none) a start as without
//     it; exit code 1 and a log line, nothing else done, when it still runs after
//     60 s; 2 when PID is not a decimal number of at most 32 bits or another option
//     comes with it;
//   --check, alone: what the next start would do, as one line on standard output
//     and an exit code (check_command.h); 2 with any other word;
//   --prepare, alone or with --rate K: the next update staged in the background
//     (prepare_command.h); 2 with any other word;
//   (--after, --check and --prepare of a launcher with an installation folder
//     started outside it, where it is the setup, end with 2 at once, creating
//     nothing: they only ever work inside the installation;)
//   "update" and two more: the hand-off that ends a self-update ("--silent" after
//     them restarts the launcher silent);
//   "remove" and two more: the last step of a removal, in its temporary copy;
//   four or more others: exit at once with 0.
//
// The normal run takes its base URL and release key from the executable's own
// settings record (launcher_config.h).

#include <windows.h>

int run_launcher(HINSTANCE instance, int show_command);

// Ends the process with the exit code that run_launcher returned. By then every
// file it wrote is closed and every log line flushed, so the process ends at once,
// without the C library's teardown: under Wine, that teardown (the Unix exit())
// runs while threads the run has just joined may still be leaving on the Unix
// side, a race that can kill the process by a signal after its work is done and
// lose the exit code that callers rely on.
[[noreturn]] void end_launcher_process(int exit_code);
