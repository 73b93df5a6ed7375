#pragma once
// What the fuzz targets share: taking typed pieces off the input, and a check that
// ends the run with a message when a property does not hold.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// A failed property is a finding: the message names it, and abort() makes the
// fuzzer keep the input.
inline void require(bool holds, const char* property) {
    if (holds)
        return;
    std::fprintf(stderr, "property violated: %s\n", property);
    std::abort();
}

// The input, consumed front to back. A piece that runs past the end is filled
// with what is left (integers with zero bytes).
class fuzz_input {
  public:
    fuzz_input(const std::uint8_t* data, std::size_t size)
        : bytes(reinterpret_cast<const char*>(data), size) {}

    // Little-endian, like the files the launcher reads.
    template <typename Integer> Integer take_integer() {
        std::uint64_t value = 0;
        const std::string_view piece = take_bytes(sizeof(Integer));
        for (std::size_t index = 0; index < piece.size(); ++index)
            value |= std::uint64_t{static_cast<unsigned char>(piece[index])} << (8 * index);
        return static_cast<Integer>(value);
    }

    std::string_view take_bytes(std::size_t count) {
        const std::string_view piece = bytes.substr(0, count);
        bytes.remove_prefix(piece.size());
        return piece;
    }

    // Up to the next line feed, which is consumed and not returned.
    std::string_view take_line() {
        const std::size_t end = bytes.find('\n');
        const std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        return line;
    }

    std::string_view rest() { return take_bytes(bytes.size()); }
    bool empty() const { return bytes.empty(); }

  private:
    std::string_view bytes;
};
