// file_digest [--sha256] PATH: prints the MD5 digest of the file as make_file_info
// computes it (with --sha256 its SHA-256 digest instead), and the seconds that
// reading and digesting took, for benchmarks.

#include "file_info.h"
#include "hex_text.h"
#include "platform.h"
#include "sha256.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const bool sha256 = argc == 3 && std::strcmp(argv[1], "--sha256") == 0;
    if (argc != 2 && !sha256) {
        std::fprintf(stderr, "usage: file_digest [--sha256] PATH\n");
        return 2;
    }
    const char* path = argv[argc - 1];
    const auto start = std::chrono::steady_clock::now();
    std::string digest;
    bool valid = false;
    if (sha256) {
        sha256_hasher hasher;
        valid = read_file_through(path, [&](const unsigned char* bytes, std::size_t count) {
                    hasher.update(bytes, count);
                }) >= 0;
        digest = hex_of(hasher.finish());
    } else {
        const file_info info = make_file_info(path, path);
        digest = hex_of(info.digest);
        valid = file_info_valid(info);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%s %.6f\n", digest.c_str(), took.count());
    return valid ? 0 : 1;
}
