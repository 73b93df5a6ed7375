#pragma once
// Owner of one C runtime file descriptor (_open, _wopen).

#include "unique_handle.h"

#include <io.h>

struct crt_file_traits {
    using pointer = int;
    static pointer invalid() noexcept { return -1; }
    static void close(pointer descriptor) noexcept { _close(descriptor); }
};

using crt_file = unique_handle<crt_file_traits>;
