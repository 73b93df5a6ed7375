#include "console_platform.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

void use_binary_standard_output() {}

std::string last_system_message() {
    return std::string(std::strerror(errno)) + ": ";
}

std::FILE* open_file(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool flush_to_disk(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}
