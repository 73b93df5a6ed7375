#pragma once
// The launcher's process entry behind wWinMain: the command line chooses the
// normal run (progress window, log, update engine, message loop, ordered shut-down)
// or the hand-off mode that ends a self-update. The normal run takes its base URL
// and release key from the executable's own settings record (launcher_config.h).
// The result is the exit code, 0.

#include <windows.h>

int run_launcher(HINSTANCE instance, int show_command);
