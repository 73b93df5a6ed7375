#pragma once
// The digests of bytes as they pass through, taken in the one pass that reads or
// writes them: always MD5 (the records' digest), and SHA-256 when a signed release
// asks for it.

#include "md5.h"
#include "sha256.h"

#include <cstddef>
#include <optional>

class content_digester {
  public:
    explicit content_digester(bool with_sha256);
    void update(const void* data, std::size_t length);
    md5_digest md5();
    // Nothing when it was not asked for.
    std::optional<sha256_digest> sha256();

  private:
    md5_context md5_;
    std::optional<sha256_hasher> sha256_;
};
