// The file-to-file operations by UTF-8 path on Windows (the Windows publisher),
// through the exported wide-path functions.

#include "lzma_exports.h"
#include "lzma_files.h"

#include "long_paths.h"
#include "utf8.h"

namespace {

template <typename Function>
lzma_result code_by_utf8_paths(const char* input_path, const char* output_path,
                               Function function) noexcept {
    if (input_path == nullptr || output_path == nullptr)
        return lzma_open_failed;
    try {
        return function(with_long_path_prefix(utf8_to_wide(input_path)).c_str(),
                        with_long_path_prefix(utf8_to_wide(output_path)).c_str());
    } catch (const std::exception&) {
        return lzma_open_failed;
    }
}

} // namespace

lzma_result compress_container_file(const char* input_path, const char* output_path) noexcept {
    return code_by_utf8_paths(input_path, output_path, LzmaCompressW);
}

lzma_result decompress_container_file(const char* input_path, const char* output_path) noexcept {
    return code_by_utf8_paths(input_path, output_path, LzmaUncompressW);
}
