// Names from the server become paths below the installation directory. Checked
// against a simple model: an accepted name is valid UTF-8, has no ":", no leading
// separator, no empty component and no component of only dots and blanks (".."
// among them), no control character; and its URL form is printable ASCII without
// blanks, "#" or "?" that percent-decodes back to the name.

#include "fuzz_support.h"
#include "utf8_model.h"

#include "name_rules.h"

#include <string>
#include <vector>

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

std::vector<std::string_view> components(std::string_view name) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t index = 0; index <= name.size(); ++index) {
        if (index == name.size() || is_separator(name[index])) {
            parts.push_back(name.substr(start, index - start));
            start = index + 1;
        }
    }
    return parts;
}

bool has_control_character(std::string_view name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20)
            return true;
    return false;
}

bool model_allows(std::string_view name) {
    if (name.empty() || !is_utf8_by_code_points(name) || has_control_character(name) ||
        name.find(':') != std::string_view::npos)
        return false;
    for (const std::string_view part : components(name))
        if (part.find_first_not_of(". ") == std::string_view::npos)
            return false;
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The name back from its URL form; a malformed escape ends the check.
std::string percent_decoded(std::string_view escaped) {
    std::string decoded;
    for (std::size_t index = 0; index < escaped.size(); ++index) {
        if (escaped[index] != '%') {
            decoded += escaped[index];
            continue;
        }
        require(index + 2 < escaped.size(), "an escape has two digits");
        const int high = hex_value(escaped[index + 1]);
        const int low = hex_value(escaped[index + 2]);
        require(high >= 0 && low >= 0, "an escape has two hex digits");
        decoded += static_cast<char>(high * 16 + low);
        index += 2;
    }
    return decoded;
}

void check_url_form(std::string_view name) {
    const std::string escaped = url_escaped_name(name);
    for (const char c : escaped)
        require(c > 0x20 && c < 0x7F && c != '#' && c != '?',
                "the URL form is printable ASCII without blanks, # or ?");
    require(percent_decoded(escaped) == name, "the URL form decodes back to the name");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    if (is_safe_relative_name(name))
        require(model_allows(name), "an accepted name stays inside the directory");
    check_url_form(name);
    return 0;
}
