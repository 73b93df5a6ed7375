// The master-version record from the server, checked against a model written from
// the format's description: "$" separates pieces, the first "=" separates key and
// value, the value is trimmed, later keys win (the first key given twice is noted),
// pieces without "=" are skipped.

#include "fuzz_support.h"

#include "version_info.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view white_space = " \t\n\r\v\f";

std::string trimmed(std::string_view value) {
    const std::size_t first = value.find_first_not_of(white_space);
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = value.find_last_not_of(white_space);
    return std::string(value.substr(first, last - first + 1));
}

struct model_record {
    std::map<std::string, std::string> pairs;
    std::optional<std::string> repeated_key;
};

model_record model_of(std::string_view text) {
    model_record model;
    for (;;) {
        const std::size_t dollar = text.find('$');
        const std::string_view piece = text.substr(0, dollar);
        if (const std::size_t equals = piece.find('='); equals != std::string_view::npos) {
            const std::string key(piece.substr(0, equals));
            if (model.pairs.contains(key) && !model.repeated_key)
                model.repeated_key = key;
            model.pairs[key] = trimmed(piece.substr(equals + 1));
        }
        if (dollar == std::string_view::npos)
            return model;
        text.remove_prefix(dollar + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    master_record record;
    parse_master_version(text, record);
    const model_record model = model_of(text);
    require(record.values() == model.pairs, "the record holds the model's pairs");
    require(record.repeated_key() == model.repeated_key, "the first repeated key is the model's");
    for (const auto& [key, value] : record.values()) {
        require(record.value(key) == value, "a stored key reads back its value");
        require(key.find('$') == std::string::npos && value.find('$') == std::string::npos,
                "no key or value spans a dollar sign");
    }
    return 0;
}
