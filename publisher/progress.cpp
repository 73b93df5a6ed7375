#include "progress.h"

#include "publish_platform.h"

#include <cstdio>
#include <string>

namespace {

constexpr int bar_width = 30;

double mebibytes(std::uint64_t count) {
    return static_cast<double>(count) / (1024.0 * 1024.0);
}

} // namespace

progress_meter::progress_meter(std::string task, std::size_t total_items, std::uint64_t total_bytes,
                               std::string unit)
    : task_(std::move(task)), unit_(std::move(unit)), total_items_(total_items),
      total_bytes_(total_bytes), terminal_(standard_error_is_terminal()) {}

progress_meter::~progress_meter() {
    if (terminal_ && done_items_ > 0)
        std::fputc('\n', stderr);
}

void progress_meter::advance(std::uint64_t item_bytes) {
    ++done_items_;
    done_bytes_ += item_bytes;
    const std::string counts =
        std::to_string(done_items_) + "/" + std::to_string(total_items_) + " " + unit_;
    if (!terminal_) {
        std::fprintf(stderr, "%s: %s, %.1f of %.1f MiB\n", task_.c_str(), counts.c_str(),
                     mebibytes(done_bytes_), mebibytes(total_bytes_));
        return;
    }
    const int filled =
        total_bytes_ == 0 ? bar_width : static_cast<int>(bar_width * done_bytes_ / total_bytes_);
    std::fprintf(stderr, "\r%s [%s%s] %s, %.1f of %.1f MiB", task_.c_str(),
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(bar_width - filled), '.').c_str(),
                 counts.c_str(), mebibytes(done_bytes_), mebibytes(total_bytes_));
    std::fflush(stderr);
}
