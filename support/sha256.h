#pragma once
// SHA-256 (FIPS 180-4), with the block compression done by the processor's SHA
// extensions where it has them (chosen once, at the first use) and by portable code
// elsewhere.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

using sha256_digest = std::array<unsigned char, 32>;

class sha256_hasher {
  public:
    sha256_hasher();
    void update(const void* data, std::size_t length);
    // The digest of every byte given; the hasher is spent afterwards.
    sha256_digest finish();

  private:
    std::uint32_t state_[8];
    std::uint64_t length_ = 0; // bytes given so far
    unsigned char buffer_[64]; // the first length_ % 64 bytes wait for a whole block
};

sha256_digest sha256_of_bytes(std::string_view bytes);

// True when this processor's SHA extensions do the work.
bool sha256_uses_processor_extensions();
