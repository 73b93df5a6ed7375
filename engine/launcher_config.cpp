#include "launcher_config.h"

#include "signature.h"

#include <algorithm>
#include <map>

namespace {

constexpr std::string_view format_line = "quillomark-config 1";
constexpr std::string_view base_url_key = "base_url";
constexpr std::string_view public_key_key = "public_key";

bool starts_with_scheme(std::string_view url, std::string_view scheme) {
    return url.substr(0, scheme.size()) == scheme && url.size() > scheme.size();
}

parsed_launcher_config refused(std::string fault) {
    return {std::nullopt, std::move(fault)};
}

// The record's lines after the format line; a final line break is optional.
std::optional<std::map<std::string, std::string, std::less<>>>
record_values(std::string_view record, std::string& fault) {
    std::map<std::string, std::string, std::less<>> values;
    std::size_t start = record.find('\n');
    if (record.substr(0, start) != format_line) {
        fault = "the first line is not \"" + std::string(format_line) + "\"";
        return std::nullopt;
    }
    while (start != std::string_view::npos && start + 1 < record.size()) {
        const std::size_t end = record.find('\n', start + 1);
        const std::string_view line = record.substr(start + 1, end - start - 1);
        const std::size_t equals = line.find('=');
        const std::string key(line.substr(0, equals));
        if (equals == std::string_view::npos || (key != base_url_key && key != public_key_key) ||
            values.contains(key)) {
            fault = "unexpected line \"" + std::string(line) + "\"";
            return std::nullopt;
        }
        values[key] = line.substr(equals + 1);
        start = end;
    }
    return values;
}

} // namespace

std::optional<std::string> base_url_fault(std::string_view url) {
    if (!starts_with_scheme(url, "http://") && !starts_with_scheme(url, "https://"))
        return "the base URL must begin with http:// or https:// and name a host";
    if (url.back() != '/')
        return "the base URL must end with /";
    if (std::any_of(url.begin(), url.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
        return "the base URL must not hold blanks or control characters";
    if (url.substr(url.find("//") + 2).front() == '/')
        return "the base URL names no host";
    return std::nullopt;
}

std::string format_launcher_config(const launcher_config& config) {
    return std::string(format_line) + "\n" + std::string(base_url_key) + "=" + config.base_url +
           "\n" + std::string(public_key_key) + "=" + config.release_key_hex + "\n";
}

parsed_launcher_config parse_launcher_config(std::string_view record) {
    std::string fault;
    const auto values = record_values(record, fault);
    if (!values)
        return refused(fault);
    const auto url = values->find(base_url_key);
    const auto key = values->find(public_key_key);
    if (url == values->end() || key == values->end())
        return refused("base_url or public_key is missing");
    if (const auto url_fault = base_url_fault(url->second))
        return refused(*url_fault);
    if (!key->second.empty() && !parse_public_key(key->second))
        return refused("public_key is not 64 lower-case hex digits");
    return {launcher_config{url->second, key->second}, {}};
}
