#pragma once
// The launcher's process entry behind wWinMain: the command line chooses the
// normal run (progress window, log, update engine, message loop, ordered shut-down)
// or the hand-off mode that ends a self-update. The result is the exit code, 0.

#include <windows.h>

#include <string>

int run_launcher(HINSTANCE instance, int show_command, const std::string& base_url);
