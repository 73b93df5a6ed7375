#include "logfile.h"
#include "platform.h"

#include <exception>

namespace {

CLogFile::sources system_sources() {
    return {current_local_time, current_thread_id, write_debug_output};
}

} // namespace

CLogFile::CLogFile() : CLogFile(system_sources()) {}

CLogFile::CLogFile(sources sources) : sources_(std::move(sources)) {}

CLogFile::~CLogFile() {
    close_stream();
}

CLogFile& CLogFile::instance() {
    // Never destroyed: lines may still be written while static objects go away.
    static CLogFile* const log = new CLogFile();
    return *log;
}

void CLogFile::close_stream() {
    if (stream_ && std::fclose(stream_) != 0)
        stream_bad_ = true;
    stream_ = nullptr;
}

bool CLogFile::open(const std::string& path) {
    std::lock_guard guard(lock_);
    debug_echo_ = true;
    threshold_ = log_trace_level;
    close_stream();
    if (path.empty())
        return true;
    try {
        // Text mode: every line feed is stored as carriage return and line feed.
        stream_ = open_shared_stream(path, "a");
    } catch (const std::exception&) {
        stream_ = nullptr;
    }
    stream_bad_ = stream_ == nullptr;
    if (stream_bad_)
        return false;
    write_to_stream(format_log_marker(sources_.now()));
    return true;
}

void CLogFile::write(const std::string& text, int level) {
    std::lock_guard guard(lock_);
    if (level < threshold_ || (!debug_echo_ && stream_bad_))
        return;
    const std::uint32_t thread = sources_.thread_id();
    auto entry = last_line_times_.find(thread);
    if (entry == last_line_times_.end())
        entry = last_line_times_.emplace(thread, log_time_to_microseconds(sources_.now())).first;
    const log_time now = sources_.now();
    const std::int64_t now_microseconds = log_time_to_microseconds(now);
    const std::string line = format_log_line(thread, now, now_microseconds - entry->second, text);
    entry->second = now_microseconds;
    if (debug_echo_)
        sources_.debug_output(line);
    if (!stream_bad_)
        write_to_stream(line);
}

void CLogFile::write_to_stream(const std::string& line) {
    if (!stream_ || std::fwrite(line.data(), 1, line.size(), stream_) != line.size() ||
        std::fflush(stream_) != 0)
        stream_bad_ = true;
}

bool log_open(const std::string& path) {
    return CLogFile::instance().open(path);
}

void log_write(const std::string& text, int level) {
    CLogFile::instance().write(text, level);
}

void log_trace(const std::string& text) {
    log_write(text, log_trace_level);
}
void log_info(const std::string& text) {
    log_write(text, log_info_level);
}
void log_error(const std::string& text) {
    log_write(text, log_error_level);
}
