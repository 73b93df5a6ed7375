#include "console_platform.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

void use_binary_standard_output() {}

std::string last_system_message() {
    return std::string(std::strerror(errno)) + ": ";
}

std::FILE* open_file(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool seek_file(std::FILE* file, std::int64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::int64_t file_length(std::FILE* file) {
    return fseeko(file, 0, SEEK_END) == 0 ? static_cast<std::int64_t>(ftello(file)) : -1;
}

bool names_device(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
}

unsigned long process_id() {
    return static_cast<unsigned long>(getpid());
}

bool flush_to_disk(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool move_file_over(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

void remove_temporary_file(const char* path) {
    std::remove(path);
}
