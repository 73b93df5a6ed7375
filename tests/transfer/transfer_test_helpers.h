#pragma once
// Small helpers shared by the transfer tests.

#include "file_transfer.h"
#include "logfile.h"
#include "scratch.h"

#include <functional>

// The transfer_error that `action` throws; a test failure when it throws none.
inline transfer_error caught_error(const std::function<void()>& action) {
    try {
        action();
    } catch (const transfer_error& error) {
        return error;
    }
    ADD_FAILURE() << "no transfer_error was thrown";
    return {};
}

// The process log, opened on a file of the test's own for as long as this lives.
class captured_log {
  public:
    explicit captured_log(const scratch_directory& scratch) : path(scratch.file("ezo.log")) {
        log_open(path);
    }
    ~captured_log() { log_open(""); }
    captured_log(const captured_log&) = delete;
    captured_log& operator=(const captured_log&) = delete;

    std::string text() const { return read_bytes(path); }

  private:
    std::string path;
};

// The body of a GET into memory.
inline std::string fetch_text(file_transfer& transfer, const std::string& url) {
    char* data = nullptr;
    long size = 0;
    transfer.download_memory(url.c_str(), &data, &size, false);
    std::string text(data != nullptr ? data : "", static_cast<size_t>(size));
    std::free(data);
    return text;
}
