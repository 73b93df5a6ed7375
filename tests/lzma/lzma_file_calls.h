#pragma once
// The container functions as file-to-file calls on UTF-8 paths: the exported W
// functions on Windows, the POSIX wrappers on the host build.

#include "lzma_result.h"
#include "scratch.h"

#include <string>

#ifdef _WIN32
#include "lzma_exports.h"

inline lzma_result compress_file(const std::string& input, const std::string& output) {
    return LzmaCompressW(utf8_path(input).c_str(), utf8_path(output).c_str());
}
inline lzma_result decompress_file(const std::string& input, const std::string& output) {
    return LzmaUncompressW(utf8_path(input).c_str(), utf8_path(output).c_str());
}
#else
#include "lzma_files.h"

inline lzma_result compress_file(const std::string& input, const std::string& output) {
    return compress_container_file(input.c_str(), output.c_str());
}
inline lzma_result decompress_file(const std::string& input, const std::string& output) {
    return decompress_container_file(input.c_str(), output.c_str());
}
#endif
