// Text from the server decoded leniently: the result is always valid UTF-8, valid
// input comes back unchanged, and the launcher's own check agrees with a decoder
// that works on code points.

#include "fuzz_support.h"
#include "utf8_model.h"

#include "text_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool valid = is_utf8_by_code_points(text);
    require(is_valid_utf8(text) == valid, "the UTF-8 check agrees with the code-point model");
    const std::string decoded = decode_text_leniently(text);
    require(is_utf8_by_code_points(decoded), "the decoded text is valid UTF-8");
    if (valid)
        require(decoded == text, "valid UTF-8 comes back unchanged");
    else
        require(decoded.size() >= text.size(), "every byte of invalid text becomes a character");
    return 0;
}
