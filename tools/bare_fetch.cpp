// The reference download for the launcher benchmarks: every URL of a list fetched
// with a bare WinINet loop of 1024-byte reads into a file, one after another over
// one Internet handle. Prints "bare_fetch_seconds: <s>".
//   bare_fetch BASE-URL LIST-FILE OUTPUT-DIRECTORY
// The list holds one relative URL per line; each file is written under its line
// number in the output directory.

#include "internet_handle.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool fetch(HINTERNET internet, const std::string& url, const std::string& path) {
    const internet_handle request(InternetOpenUrlA(
        internet, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!request || !file)
        return false;
    char chunk[1024];
    DWORD got = 0;
    while (InternetReadFile(request.get(), chunk, sizeof chunk, &got) && got > 0)
        std::fwrite(chunk, 1, got, file);
    return std::fclose(file) == 0;
}

std::vector<std::string> read_lines(const char* path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bare_fetch BASE-URL LIST-FILE OUTPUT-DIRECTORY\n");
        return 2;
    }
    const std::vector<std::string> names = read_lines(argv[2]);
    const auto started = std::chrono::steady_clock::now();
    const internet_handle internet(
        InternetOpenA("Quillomark", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (!fetch(internet.get(), argv[1] + names[index],
                   std::string(argv[3]) + "\\" + std::to_string(index))) {
            std::fprintf(stderr, "bare_fetch: %s failed\n", names[index].c_str());
            return 1;
        }
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    std::printf("bare_fetch_seconds: %.3f\n", seconds.count());
    return 0;
}
