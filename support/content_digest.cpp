#include "content_digest.h"

content_digester::content_digester(bool with_sha256) {
    md5_init(md5_);
    if (with_sha256)
        sha256_.emplace();
}

void content_digester::update(const void* data, std::size_t length) {
    md5_update(md5_, data, length);
    if (sha256_)
        sha256_->update(data, length);
}

md5_digest content_digester::md5() {
    md5_digest digest;
    md5_final(md5_, digest.data());
    return digest;
}

std::optional<sha256_digest> content_digester::sha256() {
    if (!sha256_)
        return std::nullopt;
    return sha256_->finish();
}
