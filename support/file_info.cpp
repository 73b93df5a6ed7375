#include "file_info.h"
#include "md5.h"
#include "stdio_stream.h"

#include <algorithm>

namespace {
constexpr std::size_t stdio_buffer_size = 64 * 1024;
}

file_info make_file_info(const std::string& name, const std::string& path) {
    file_info record;
    record.name = name;
    stdio_stream file;
    if (!open_file_utf8("rb", file, path))
        return record;

    std::FILE* stream = file.get();
    // A larger stdio buffer saves system calls; reads still go in 1024-byte blocks.
    std::setvbuf(stream, nullptr, _IOFBF, stdio_buffer_size);
    const long start = std::ftell(stream);
    std::fseek(stream, 0, SEEK_END);
    record.size = static_cast<std::int32_t>(std::ftell(stream));
    std::fseek(stream, start, SEEK_SET);

    md5_context context;
    md5_init(context);
    unsigned char block[1024];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, stream)) != 0;)
        md5_update(context, block, got);
    md5_final(context, record.digest.data());
    return record;
}

bool file_info_valid(const file_info& record) {
    return record.size > 0 && !record.name.empty() &&
           std::any_of(record.digest.begin(), record.digest.end(),
                       [](unsigned char byte) { return byte != 0; });
}

bool digests_equal(const file_info& a, const file_info& b) {
    return a.digest == b.digest;
}
