#pragma once
// The launcher's process entry behind wWinMain: the command line chooses the
// normal run (progress window, log, update engine, message loop, ordered shut-down)
// or the hand-off mode that ends a self-update. The result is the exit code, 0.

#include <windows.h>

#include <string>

// What is built into a launcher: where it downloads from, and the publisher's public
// key (64 hex digits) that its records must be signed with, or empty.
struct launcher_settings {
    std::string base_url;
    std::string release_key_hex;
};

int run_launcher(HINSTANCE instance, int show_command, const launcher_settings& settings);
