// Entry point of quillomark.exe; everything else lives in the shell library.

#include "launcher_entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    end_launcher_process(run_launcher(instance, show_command));
}
