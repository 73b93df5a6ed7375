// Entry point of quillomark.exe. For now the executable carries the embedded patch
// tool and exports the LZMA container functions; the update run and its windows are
// not started from here yet.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
