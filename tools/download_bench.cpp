// Times download_to_file against bare WinINet read loops on the same URL, one with
// the transfer's own 64 KiB reads writing the body to a file as the transfer does,
// and one with reads of 1024 bytes into memory, alternating them and keeping the
// best of each, so that load from elsewhere on the machine weighs on all alike.
// Prints "bare_seconds: <s>" (64 KiB), "bare_1kib_seconds: <s>" and
// "transfer_seconds: <s>"; tools/bench/40-download.sh turns them into ratios.

#include "file_transfer.h"

#include "win_handles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int rounds = 2;

// Reads the whole body in calls of `chunk` bytes, writing it to `output` when given,
// else dropping it; returns the byte count.
long long bare_read_loop(const char* url, DWORD chunk, const char* output = nullptr) {
    const file_handle file(output ? CreateFileA(output, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)
                                  : INVALID_HANDLE_VALUE);
    if (output && !file)
        return 0;
    const internet_handle internet(
        InternetOpenA("Quillomark", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    const internet_handle request(InternetOpenUrlA(
        internet.get(), url, nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    std::vector<char> buffer(chunk);
    long long total = 0;
    DWORD got = 0;
    DWORD written = 0;
    while (InternetReadFile(request.get(), buffer.data(), chunk, &got) && got > 0) {
        if (output &&
            (!WriteFile(file.get(), buffer.data(), got, &written, nullptr) || written != got))
            return 0;
        total += got;
    }
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
    const std::string bare_output = std::string(argv[2]) + ".bare";
    double bare = 1e9;
    double bare_1kib = 1e9;
    double transfer = 1e9;
    for (int round = 0; round < rounds; ++round) {
        long long bare_bytes = 0;
        long long bare_1kib_bytes = 0;
        bare = std::min(bare, seconds_of([&] {
                            bare_bytes = bare_read_loop(argv[1], file_transfer::read_chunk_size,
                                                        bare_output.c_str());
                        }));
        bare_1kib = std::min(bare_1kib,
                             seconds_of([&] { bare_1kib_bytes = bare_read_loop(argv[1], 1024); }));
        bool downloaded = false;
        transfer = std::min(transfer, seconds_of([&] {
                                CFileTransfer file_transfer;
                                downloaded = download_to_file(argv[2], file_transfer, argv[1]);
                            }));
        if (!downloaded || bare_bytes == 0 || bare_1kib_bytes != bare_bytes) {
            std::fprintf(stderr, "download_bench: a download failed\n");
            return 1;
        }
    }
    std::printf("bare_seconds: %.3f\nbare_1kib_seconds: %.3f\ntransfer_seconds: %.3f\n", bare,
                bare_1kib, transfer);
    return 0;
}
