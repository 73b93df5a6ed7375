#pragma once
// File-to-file use of the LZMA container by UTF-8 path: on the host build, where the
// container code is exercised natively (tests, fuzzing) and the publisher runs, and
// in the Windows publisher. The launcher exports the same operations as the
// functions of lzma_exports.h.

#include "lzma_result.h"

lzma_result compress_container_file(const char* input_path, const char* output_path) noexcept;
lzma_result decompress_container_file(const char* input_path, const char* output_path) noexcept;
