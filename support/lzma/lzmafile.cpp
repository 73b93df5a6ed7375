// lzmafile: makes or unpacks one LZMA container through the functions that
// quillomark.exe exports, e.g. to prepare compressed files for the update server.
//
//   lzmafile c INPUT CONTAINER    compress (LzmaCompressW)
//   lzmafile d CONTAINER OUTPUT   decompress (LzmaUncompressW)
//
// On success it prints the seconds the call took and exits with 0; otherwise it
// prints the function's result and exits with 1.

#include "lzma_exports.h"

#include <cstdio>
#include <cwchar>

#include <windows.h>

namespace {

double seconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

int usage() {
    std::fputs("usage: lzmafile c|d input output\n", stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc != 4 || (std::wcscmp(argv[1], L"c") != 0 && std::wcscmp(argv[1], L"d") != 0))
        return usage();
    const bool compress = std::wcscmp(argv[1], L"c") == 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const lzma_result result =
        compress ? LzmaCompressW(argv[2], argv[3]) : LzmaUncompressW(argv[2], argv[3]);
    if (result == lzma_ok) {
        std::printf("%.3f\n", seconds_since(start));
        return 0;
    }
    std::fprintf(stderr, "lzmafile: result %d\n", static_cast<int>(result));
    return 1;
}
