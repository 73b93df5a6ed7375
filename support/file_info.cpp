#include "file_info.h"
#include "content_digest.h"
#include "platform.h"

#include <algorithm>

file_info make_file_info(const std::string& name, const std::string& path, sha256_digest* strong) {
    file_info record;
    record.name = name;
    content_digester digester(strong != nullptr);
    const std::int64_t size =
        read_file_through(path, [&](const unsigned char* bytes, std::size_t count) {
            digester.update(bytes, count);
        });
    if (size < 0 || static_cast<std::uint64_t>(size) > file_info::largest_size)
        return record;
    record.size = static_cast<std::uint32_t>(size);
    record.digest = digester.md5();
    if (strong)
        *strong = *digester.sha256();
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
