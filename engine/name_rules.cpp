#include "name_rules.h"

#include "hex_text.h"
#include "text_decoding.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

constexpr std::string_view forbidden_characters = "<>\"|?*:";

bool is_separator(char character) {
    return character == '\\' || character == '/';
}

bool has_forbidden_character(std::string_view name) {
    return std::any_of(name.begin(), name.end(), [](char character) {
        return static_cast<unsigned char>(character) < 0x20 ||
               forbidden_characters.find(character) != std::string_view::npos;
    });
}

bool only_dots_and_blanks(std::string_view component) {
    return component.find_first_not_of(". ") == std::string_view::npos;
}

bool equal_ignoring_case(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) ==
                      std::toupper(static_cast<unsigned char>(b));
           });
}

// Windows opens the device for these whatever extension follows.
bool is_device_name(std::string_view component) {
    std::string_view stem = component.substr(0, component.find('.'));
    stem = stem.substr(0, stem.find_last_not_of(' ') + 1);
    static constexpr std::array<std::string_view, 4> plain_devices = {"CON", "PRN", "AUX", "NUL"};
    if (std::any_of(plain_devices.begin(), plain_devices.end(),
                    [&](std::string_view device) { return equal_ignoring_case(stem, device); }))
        return true;
    return stem.size() == 4 &&
           (equal_ignoring_case(stem.substr(0, 3), "COM") ||
            equal_ignoring_case(stem.substr(0, 3), "LPT")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

bool is_safe_component(std::string_view component) {
    return !component.empty() && !only_dots_and_blanks(component) && !is_device_name(component);
}

} // namespace

bool is_safe_relative_name(std::string_view name) {
    if (name.empty() || !is_valid_utf8(name) || has_forbidden_character(name))
        return false;
    std::size_t start = 0;
    for (;;) {
        const auto separator = std::find_if(name.begin() + start, name.end(), is_separator);
        const std::size_t end = separator - name.begin();
        if (!is_safe_component(name.substr(start, end - start)))
            return false;
        if (separator == name.end())
            return true;
        start = end + 1;
    }
}

std::string url_escaped_name(std::string_view name) {
    std::string escaped;
    escaped.reserve(name.size());
    for (const char character : name) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte > 0x20 && byte < 0x7F && character != '%' && character != '#' &&
            character != '?') {
            escaped += character;
            continue;
        }
        escaped += '%';
        append_hex(escaped, byte, hex_case::upper);
    }
    return escaped;
}

bool names_stay_inside(const version_info& info) {
    return std::all_of(info.files.begin(), info.files.end(),
                       [](const auto& record) { return is_safe_relative_name(record->name); });
}

std::string file_alias_key(std::string_view name) {
    std::string key;
    std::string component;
    const auto end_component = [&] {
        while (!component.empty() && (component.back() == '.' || component.back() == ' '))
            component.pop_back();
        key += component;
        component.clear();
    };
    for (std::size_t index = 0; index < name.size(); ++index) {
        const unsigned char byte = static_cast<unsigned char>(name[index]);
        if (byte == '\\' || byte == '/') {
            end_component();
            key += '\\';
        } else if (byte >= 0x80) {
            // One placeholder per UTF-8 sequence: its lead byte, not its continuations.
            if ((byte & 0xC0) != 0x80)
                component += '\x80';
        } else {
            component += static_cast<char>(std::toupper(byte));
        }
    }
    end_component();
    return key;
}
