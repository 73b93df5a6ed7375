#pragma once
// The launcher's LZMA container coder on bytes in memory.

#include "byte_files.h"

#include <optional>

// The content in a container, exactly as the launcher's coder writes one.
bytes encode_container(std::span<const unsigned char> content);
// The decoded content; empty when the container is damaged or truncated.
std::optional<bytes> decode_container(std::span<const unsigned char> container);
