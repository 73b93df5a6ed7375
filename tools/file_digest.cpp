// file_digest PATH: prints the MD5 digest of the file as make_file_info computes
// it, and the seconds the computation took, for benchmarks.

#include "file_info.h"
#include "hex_text.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: file_digest PATH\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const file_info info = make_file_info(argv[1], argv[1]);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%s %.6f\n", hex_of(info.digest).c_str(), took.count());
    return file_info_valid(info) ? 0 : 1;
}
