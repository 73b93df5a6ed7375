#pragma once
// quillomark.exe --check: what the next start would do in this installation, judged
// as a run judges the server's records, with no window, no application start and
// nothing written in the installation but the check's own log (ezo-prepare.log in
// the current directory). One line goes to standard output when it is a pipe or a
// file, and the exit code says the same:
//
//   "current N", 0: the installed version N stays (a phased rollout may hold back
//     a newer one);
//   "available N", 10: the next start installs version N, downloading it;
//   "prepared N", 11: the next start installs version N from what a prepare
//     staged (prepare_command.h), downloading only the records;
//   "failed REASON", 1: no answer, a refused signature, an expired, damaged or
//     older record, or unusable settings (the log says more).

#include "launcher_config.h"

int run_check(const parsed_launcher_config& settings);
