// Times download_to_file against a bare WinINet read loop with the same 1024-byte
// chunk on the same URL, alternating the two and keeping the best of each, so that
// load from elsewhere on the machine weighs on both alike. Prints
// "bare_seconds: <s>" and "transfer_seconds: <s>"; tools/bench/40-download.sh turns
// them into ratios.

#include "file_transfer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr int rounds = 2;

// Reads the whole body in 1024-byte calls and drops it; returns the byte count.
long long bare_read_loop(const char* url) {
    const internet_handle internet(
        InternetOpenA("Quillomark", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    const internet_handle request(InternetOpenUrlA(
        internet.get(), url, nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    char chunk[1024];
    long long total = 0;
    DWORD got = 0;
    while (InternetReadFile(request.get(), chunk, sizeof chunk, &got) && got > 0)
        total += got;
    return total;
}

template <typename Work> double seconds_of(Work work) {
    const auto started = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: download_bench URL OUTPUT-FILE\n");
        return 2;
    }
    double bare = 1e9;
    double transfer = 1e9;
    for (int round = 0; round < rounds; ++round) {
        long long bare_bytes = 0;
        bare = std::min(bare, seconds_of([&] { bare_bytes = bare_read_loop(argv[1]); }));
        bool downloaded = false;
        transfer = std::min(transfer, seconds_of([&] {
                                CFileTransfer file_transfer;
                                downloaded = download_to_file(argv[2], file_transfer, argv[1]);
                            }));
        if (!downloaded || bare_bytes == 0) {
            std::fprintf(stderr, "download_bench: a download failed\n");
            return 1;
        }
    }
    std::printf("bare_seconds: %.3f\ntransfer_seconds: %.3f\n", bare, transfer);
    return 0;
}
