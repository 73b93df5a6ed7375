#pragma once

#include <cstdint>

// The one exception of the transfer code: a plain value, deliberately not derived
// from std::exception. The message is a fixed text or the C runtime's text for
// errno and is never owned; `system_error` is the WinINet error behind a failed
// call (a refused certificate, a time-out), 0 when there is none.
struct transfer_error {
    enum : std::int32_t { local_file = 0, network = 1, out_of_memory = 2, proxy_sign_in = 3 };

    std::int32_t code = network;
    const char* message = "";
    std::uint32_t system_error = 0;
};

// The fixed error with the WinINet error that caused it.
constexpr transfer_error with_system_error(transfer_error error, std::uint32_t system_error) {
    error.system_error = system_error;
    return error;
}
