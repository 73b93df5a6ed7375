#include "container_memory.h"

#include "lzma_container.h"
#include "publish_errors.h"

#include <algorithm>
#include <cstring>

namespace {

// The SDK's stream interfaces over memory; the interface comes first so that the
// SDK's pointer leads back to the whole object.
struct memory_input {
    ISeqInStream vt;
    const unsigned char* data;
    std::size_t size;
    std::size_t position;
};

struct memory_output {
    ISeqOutStream vt;
    bytes* target;
};

SRes read_memory(ISeqInStreamPtr stream, void* buffer, std::size_t* size) {
    auto* input = reinterpret_cast<memory_input*>(const_cast<ISeqInStream*>(stream));
    const std::size_t count = std::min(*size, input->size - input->position);
    std::memcpy(buffer, input->data + input->position, count);
    input->position += count;
    *size = count;
    return SZ_OK;
}

std::size_t write_memory(ISeqOutStreamPtr stream, const void* data, std::size_t size) {
    auto* output = reinterpret_cast<memory_output*>(const_cast<ISeqOutStream*>(stream));
    const auto* first = static_cast<const unsigned char*>(data);
    output->target->insert(output->target->end(), first, first + size);
    return size;
}

memory_input input_over(std::span<const unsigned char> content) {
    return memory_input{{read_memory}, content.data(), content.size(), 0};
}

} // namespace

bytes encode_container(std::span<const unsigned char> content) {
    memory_input input = input_over(content);
    bytes coded;
    memory_output output{{write_memory}, &coded};
    if (compress_container(&input.vt, content.size(), &output.vt) != lzma_ok)
        throw publish_failure("the LZMA coder failed");
    return coded;
}

std::optional<bytes> decode_container(std::span<const unsigned char> container) {
    memory_input input = input_over(container);
    bytes decoded;
    memory_output output{{write_memory}, &decoded};
    if (decompress_container(&input.vt, &output.vt) != lzma_ok)
        return std::nullopt;
    return decoded;
}
