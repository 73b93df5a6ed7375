#pragma once
// Progress of long work on standard error: items done of the total and bytes, with
// a bar redrawn in place when standard error is a terminal, one line per item
// otherwise.

#include <cstddef>
#include <cstdint>
#include <string>

class progress_meter {
  public:
    // `unit` names the items in the counts ("3/12 files").
    progress_meter(std::string task, std::size_t total_items, std::uint64_t total_bytes,
                   std::string unit = "files");
    ~progress_meter();
    progress_meter(const progress_meter&) = delete;
    progress_meter& operator=(const progress_meter&) = delete;

    // One item of `item_bytes` is done.
    void advance(std::uint64_t item_bytes);

  private:
    std::string task_;
    std::string unit_;
    std::size_t total_items_;
    std::uint64_t total_bytes_;
    std::size_t done_items_ = 0;
    std::uint64_t done_bytes_ = 0;
    bool terminal_;
};
