#include "console_platform.h"

#include <cerrno>
#include <cstring>

void use_binary_standard_output() {}

std::string last_system_message() {
    return std::string(std::strerror(errno)) + ": ";
}
