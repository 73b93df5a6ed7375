// Entry point of quillomark.exe. The download base URL (QM_BASE_URL) and the
// publisher's public key (QM_PUBLIC_KEY, empty for unsigned releases) are built in;
// everything else lives in the shell library.

#include "launcher_entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    return run_launcher(instance, show_command, {QM_BASE_URL, QM_PUBLIC_KEY});
}
