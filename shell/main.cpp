// Entry point of quillomark.exe; everything else lives in the shell library.

#include "launcher_entry.h"

// No exception leaves the entry: one that the run did not catch (a text that does
// not convert, memory that ran out) ends the process with 1, every mode's failure,
// instead of the C library's abort.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    int exit_code = 1;
    try {
        exit_code = run_launcher(instance, show_command);
    } catch (...) {
        exit_code = 1;
    }
    end_launcher_process(exit_code);
}
