// Entry point of quillomark.exe. The download base URL is built in (QM_BASE_URL);
// everything else lives in the shell library.

#include "launcher_entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    return run_launcher(instance, show_command, QM_BASE_URL);
}
