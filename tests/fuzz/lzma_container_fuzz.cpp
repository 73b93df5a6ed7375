// An LZMA container from the server, decoded from memory. The decoded bytes go to a
// sink that refuses everything past 1 MiB, so a small input that states a huge
// size ends with a write failure instead of running for minutes.

#include "fuzz_support.h"

#include "lzma_container.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t output_limit = std::size_t{1} << 20;

struct memory_input {
    ISeqInStream vt;
    std::string_view bytes;
};

struct bounded_output {
    ISeqOutStream vt;
    std::size_t written = 0;
};

SRes read_memory(ISeqInStreamPtr stream, void* buffer, std::size_t* size) {
    auto* input = reinterpret_cast<memory_input*>(const_cast<ISeqInStream*>(stream));
    *size = std::min(*size, input->bytes.size());
    std::memcpy(buffer, input->bytes.data(), *size);
    input->bytes.remove_prefix(*size);
    return SZ_OK;
}

std::size_t write_bounded(ISeqOutStreamPtr stream, const void*, std::size_t size) {
    auto* output = reinterpret_cast<bounded_output*>(const_cast<ISeqOutStream*>(stream));
    const std::size_t accepted = std::min(size, output_limit - output->written);
    output->written += accepted;
    return accepted;
}

bool is_known_result(lzma_result result) {
    return result == lzma_ok || result == lzma_corrupt || result == lzma_out_of_memory ||
           result == lzma_unsupported || result == lzma_truncated_header ||
           result == lzma_read_failed || result == lzma_write_failed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    memory_input input{{read_memory}, {reinterpret_cast<const char*>(data), size}};
    bounded_output output{{write_bounded}};
    const lzma_result result = decompress_container(&input.vt, &output.vt);
    require(is_known_result(result), "the result is one of the decoder's codes");
    require(size >= container_header_size || result == lzma_truncated_header,
            "a short input is a truncated header");
    return 0;
}
