#include "file_helpers.h"
#include "platform.h"

#include <cerrno>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

std::uint32_t current_thread_id() {
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

log_time current_local_time() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm calendar{};
    localtime_r(&now.tv_sec, &calendar);
    log_time time;
    time.year = calendar.tm_year + 1900;
    time.month = calendar.tm_mon + 1;
    time.day = calendar.tm_mday;
    time.hour = calendar.tm_hour;
    time.minute = calendar.tm_min;
    time.second = calendar.tm_sec;
    time.microsecond = static_cast<int>(now.tv_nsec / 1000);
    return time;
}

void write_debug_output(const std::string&) {}

std::int64_t
read_file_through(const std::string& path,
                  const std::function<void(const unsigned char*, std::size_t)>& on_bytes) {
    stdio_stream file;
    if (!open_file_utf8("rb", file, path))
        return -1;
    std::FILE* stream = file.get();
    std::fseek(stream, 0, SEEK_END);
    const std::int64_t size = std::ftell(stream);
    std::fseek(stream, 0, SEEK_SET);
    std::vector<unsigned char> block(64 * 1024);
    for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), stream)) != 0;)
        on_bytes(block.data(), got);
    return size;
}

native_path path_from_utf8(const std::string& path) {
    return std::filesystem::path(path);
}

std::FILE* open_shared_stream(const std::string& path, const std::string& mode) {
    return std::fopen(path.c_str(), mode.c_str());
}

bool is_link(const native_path& path) {
    std::error_code error;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
}

bool is_directory_at(const native_path& path, std::error_code& error) {
    return std::filesystem::is_directory(std::filesystem::status(path, error));
}

std::error_code list_directory(const native_path& directory,
                               const std::function<void(const native_path&)>& visit) {
    std::error_code error;
    std::filesystem::directory_iterator entry(directory, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error))
        visit(entry->path());
    return error;
}

std::error_code remove_entry(const native_path& path, held_file_pauses&, const held_file_wait&) {
    std::error_code error;
    std::filesystem::remove(path, error);
    return error;
}

bool delete_file_utf8(const std::string& path, const held_file_wait&) {
    return unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR;
}
