#include "byte_files.h"

#include "md5.h"
#include "platform.h"
#include "publish_errors.h"
#include "stdio_stream.h"

#include <cstdio>

bytes read_whole_file(const std::filesystem::path& path) {
    stdio_stream file(open_shared_stream(path.string(), "rb"));
    if (!file)
        throw publish_failure("cannot read " + path.string());
    bytes content;
    unsigned char block[64 * 1024];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, file.get())) != 0;)
        content.insert(content.end(), block, block + got);
    if (std::ferror(file.get()))
        throw publish_failure("cannot read " + path.string());
    return content;
}

void write_whole_file(const std::filesystem::path& path, std::span<const unsigned char> content) {
    stdio_stream file(open_shared_stream(path.string(), "wb"));
    const bool written = file && (content.empty() || std::fwrite(content.data(), 1, content.size(),
                                                                 file.get()) == content.size());
    if (!written || std::fclose(file.release()) != 0)
        throw publish_failure("cannot write " + path.string());
}

digest_bytes digest_of(std::span<const unsigned char> content) {
    md5_context context;
    md5_init(context);
    md5_update(context, content.data(), content.size());
    digest_bytes digest;
    md5_final(context, digest.data());
    return digest;
}

sha256_digest strong_digest_of(std::span<const unsigned char> content) {
    return sha256_of_bytes({reinterpret_cast<const char*>(content.data()), content.size()});
}
