#pragma once
// The fixed errors of the transfer code.

#include "transfer_error.h"

namespace transfer_errors {

inline constexpr transfer_error files_differ{transfer_error::local_file,
                                             "Files are not identical for REGET operation"};
// A write past the largest 64-bit offset: the C runtime's text for EFBIG.
inline constexpr transfer_error file_too_large{transfer_error::local_file, "File too large"};
inline constexpr transfer_error out_of_memory{transfer_error::out_of_memory, "Out of memory"};
inline constexpr transfer_error too_large_for_memory{transfer_error::out_of_memory,
                                                     "Download too large for memory"};
inline constexpr transfer_error no_internet{transfer_error::network,
                                            "Internet connection is not available"};
inline constexpr transfer_error internet_open_failed{transfer_error::network,
                                                     "Can not open Internet connection"};
inline constexpr transfer_error connection_failed{transfer_error::network,
                                                  "Can not open HTTP connection"};
inline constexpr transfer_error bad_url{transfer_error::network, "URL is incorrectly formed"};
inline constexpr transfer_error open_request_failed{transfer_error::network,
                                                    "HTTP open request failed"};
inline constexpr transfer_error send_request_failed{transfer_error::network,
                                                    "HTTP send request failed"};
inline constexpr transfer_error no_status{transfer_error::network,
                                          "Unable to read HTTP status code"};
inline constexpr transfer_error unexpected_status{transfer_error::network,
                                                  "Unexpected status code from HTTP server"};
inline constexpr transfer_error inconsistent_range{transfer_error::network,
                                                   "Inconsistent range data"};
inline constexpr transfer_error download_failed{transfer_error::network, "HTTP download failed"};
inline constexpr transfer_error too_many_redirects{transfer_error::network,
                                                   "Too many HTTP redirects"};
inline constexpr transfer_error redirect_leaves_https{transfer_error::network,
                                                      "Redirect from https to http refused"};
// A proxy answered 407 and no sign-in was given (no window to ask in, or Cancel).
inline constexpr transfer_error proxy_sign_in_wanted{transfer_error::proxy_sign_in,
                                                     "Proxy asks for a sign-in"};
inline constexpr transfer_error shut_down{transfer_error::network,
                                          "Transfer ended: the launcher is closing"};

// A local file error with the C runtime's text for the current errno.
transfer_error local_file_error();

} // namespace transfer_errors
