#pragma once
// The process-wide log "ezo.log": one line per message with the writing thread's
// id, a local timestamp and the time since that thread's previous line.
// Any thread may write; lines never interleave.

#include "log_format.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

// Levels a line can carry; only the threshold test looks at them.
enum log_level : int { log_trace_level = 1, log_info_level = 2, log_error_level = 4 };

// Opens (or reopens) the process-wide log for appending and writes the opening
// marker. False when the file cannot be opened; lines then go only to the debugger.
bool log_open(const std::string& path);

// Writes one line (UTF-8 text without a line end) at level 1, 2 or 4.
void log_write(const std::string& text, int level);

// Shorthands for the three levels.
void log_trace(const std::string& text);
void log_info(const std::string& text);
void log_error(const std::string& text);

// The logger behind the functions above. Tests make their own instances with a
// scripted clock and thread-id source.
class CLogFile {
  public:
    struct sources {
        std::function<log_time()> now;            // local time, microsecond resolution
        std::function<std::uint32_t()> thread_id; // operating-system thread id
        std::function<void(const std::string&)> debug_output;
    };

    CLogFile();
    explicit CLogFile(sources sources);
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    bool open(const std::string& path);
    void write(const std::string& text, int level);

    static CLogFile& instance();

  private:
    void close_stream();
    void write_to_stream(const std::string& line);

    std::mutex lock_;
    std::FILE* stream_ = nullptr;
    bool stream_bad_ = false;
    bool debug_echo_ = false;
    int threshold_ = 0;
    std::map<std::uint32_t, std::int64_t> last_line_times_;
    sources sources_;
};
