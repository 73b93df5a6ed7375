#pragma once

#include <cstdint>

// The one exception of the transfer code: a plain value, deliberately not derived
// from std::exception. The message is a fixed text or the C runtime's text for
// errno and is never owned.
struct transfer_error {
    enum : std::int32_t { local_file = 0, network = 1, out_of_memory = 2 };

    std::int32_t code = network;
    const char* message = "";
};
