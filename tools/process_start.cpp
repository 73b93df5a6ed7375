// The design's floor for a patch: the median time to start a trivial hidden
// console program and wait for it, through the launcher's own run_helper.
// Prints "hidden_process_start_seconds: <s>", and the mean, which a sequence of
// starts pays, as "hidden_process_start_mean_seconds: <s>". Arguments after RUNS are passed on,
// each quoted, so that a real program can be timed the same way.
//   process_start PROGRAM [RUNS [ARGUMENTS...]]

#include "process_start.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: process_start PROGRAM [RUNS [ARGUMENTS...]]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 21;
    std::string command = quoted(argv[1]);
    for (int index = 3; index < argc; ++index)
        command.append(1, ' ').append(quoted(argv[index]));
    // The first start loads what later starts find in the cache.
    if (!run_helper(command))
        return 1;
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        const auto started = std::chrono::steady_clock::now();
        if (!run_helper(command))
            return 1;
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    const double mean = std::accumulate(seconds.begin(), seconds.end(), 0.0) / runs;
    std::nth_element(seconds.begin(), seconds.begin() + runs / 2, seconds.end());
    std::printf("hidden_process_start_seconds: %.4f\n", seconds[runs / 2]);
    std::printf("hidden_process_start_mean_seconds: %.4f\n", mean);
    return 0;
}
