#include "launcher_config.h"

#include "name_rules.h"
#include "signature.h"
#include "text_decoding.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>

namespace {

constexpr std::string_view format_line = "quillomark-config 1";
constexpr std::string_view base_url_key = "base_url";
constexpr std::string_view public_key_key = "public_key";
constexpr std::string_view install_dir_key = "install_dir";
constexpr std::string_view publisher_key = "publisher";
constexpr std::string_view product_key = "product";
constexpr std::string_view language_key = "language";
constexpr std::string_view health_key = "health";
constexpr std::string_view health_tries_key = "health_tries";
constexpr std::string_view health_report_key = "health_report";
constexpr std::string_view text_key_prefix = "text.";
constexpr std::array<std::string_view, 9> known_keys = {
    base_url_key, public_key_key, install_dir_key,  publisher_key,    product_key,
    language_key, health_key,     health_tries_key, health_report_key};
constexpr std::array<std::string_view, 3> per_user_folders = {"%LOCALAPPDATA%", "%APPDATA%",
                                                              "%USERPROFILE%"};
constexpr std::size_t longest_publisher = 200;
constexpr std::size_t longest_install_subfolder = 160;

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
        if (equals == std::string_view::npos ||
            (std::find(known_keys.begin(), known_keys.end(), key) == known_keys.end() &&
             !key.starts_with(text_key_prefix)) ||
            values.contains(key)) {
            fault = "unexpected line \"" + std::string(line) + "\"";
            return std::nullopt;
        }
        values[key] = line.substr(equals + 1);
        start = end;
    }
    return values;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) ==
                      std::toupper(static_cast<unsigned char>(b));
           });
}

// The user's own folder that an installation folder starts with.
std::optional<std::string_view> user_folder_of(std::string_view dir) {
    const auto folder = std::find_if(
        per_user_folders.begin(), per_user_folders.end(),
        [&](std::string_view prefix) { return starts_with_ignoring_case(dir, prefix); });
    return folder == per_user_folders.end() ? std::nullopt : std::optional(*folder);
}

bool has_dots_alone_component(std::string_view path) {
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find_first_of("\\/", start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (component.find('.') != std::string_view::npos &&
            component.find_first_not_of(". ") == std::string_view::npos)
            return true;
        start = end + 1;
    }
    return false;
}

// The key under which spellings of one folder meet (file_alias_key), without empty
// components.
std::string folder_key(std::string_view path) {
    std::string key;
    for (const char character : file_alias_key(path))
        if (character != '\\' || (!key.empty() && key.back() != '\\'))
            key += character;
    if (!key.empty() && key.back() == '\\')
        key.pop_back();
    return key;
}

bool has_control_character(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < ' ' || c == 0x7f; });
}

void add_optional_line(std::string& record, std::string_view key, const std::string& value) {
    if (!value.empty())
        record += std::string(key) + "=" + value + "\n";
}

void add_health_lines(std::string& record, const health_check& health) {
    if (health.how == health_check::way::off)
        return;
    add_optional_line(record, health_key, health_way_text(health));
    add_optional_line(record, health_tries_key, std::to_string(health.tries));
    if (health.report)
        add_optional_line(record, health_report_key, "1");
}

// The health check of the lines health=, health_tries= (1 to 5) and health_report=1;
// the last two only with the first.
std::optional<health_check> health_of(const std::map<std::string, std::string, std::less<>>& values,
                                      std::string& fault) {
    const auto way = values.find(health_key);
    if (way == values.end()) {
        if (values.contains(health_tries_key) || values.contains(health_report_key)) {
            fault = "health_tries or health_report without health";
            return std::nullopt;
        }
        return health_check{};
    }
    auto health = parse_health_way(way->second);
    const auto tries = values.find(health_tries_key);
    const auto report = values.find(health_report_key);
    if (!health)
        fault = "health is not confirm or watch=5 to watch=300";
    else if (tries != values.end() && !parse_health_tries(tries->second))
        fault = "health_tries is not a whole number from 1 to 5";
    else if (report != values.end() && report->second != "1")
        fault = "health_report is not 1";
    if (!fault.empty())
        return std::nullopt;
    if (tries != values.end())
        health->tries = *parse_health_tries(tries->second);
    health->report = report != values.end();
    return health;
}

std::string value_or_empty(const std::map<std::string, std::string, std::less<>>& values,
                           std::string_view key) {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

// The record's text lines as a table file, in the order of their ids' names.
std::string own_text_lines(const std::map<std::string, std::string, std::less<>>& values) {
    std::string table;
    for (const auto& [key, value] : values)
        if (key.starts_with(text_key_prefix))
            table += key.substr(text_key_prefix.size()) + "=" + value + "\n";
    return table;
}

void add_text_lines(std::string& record, const std::optional<text_table>& texts) {
    if (!texts)
        return;
    for (std::size_t index = 0; index < text_count; ++index) {
        const auto id = static_cast<text_id>(index);
        record += std::string(text_key_prefix) + std::string(text_name(id)) + "=" +
                  escape_text((*texts)[id]) + "\n";
    }
}

std::optional<std::string> language_fault(std::string_view language) {
    if (std::find(builtin_languages.begin(), builtin_languages.end(), language) ==
        builtin_languages.end())
        return "the language must be et or en";
    return std::nullopt;
}

} // namespace

std::optional<std::string> install_dir_fault(std::string_view dir) {
    const auto folder = user_folder_of(dir);
    if (!folder)
        return "the installation folder must start with %LOCALAPPDATA%, %APPDATA% or "
               "%USERPROFILE% (a folder of the user's own)";
    const std::string_view below = dir.substr(folder->size());
    if (below.empty())
        return std::nullopt;
    const std::string_view path = below.substr(1);
    if (below.front() != '\\' || !is_safe_relative_name(path) ||
        path.find_first_of("/%") != std::string_view::npos)
        return "after " + std::string(*folder) +
               " the installation folder must go on with a backslash and a relative path of "
               "valid names, without /, % or ..";
    if (path.size() > longest_install_subfolder)
        return "the installation folder's path below " + std::string(*folder) + " is longer than " +
               std::to_string(longest_install_subfolder) + " bytes";
    return std::nullopt;
}

bool is_shared_user_folder(std::string_view below) {
    // Below any of the user's own folders, as they lie below %USERPROFILE% and inside
    // %LOCALAPPDATA% and %APPDATA%.
    static constexpr auto shared =
        std::to_array<std::string_view>({"Temp",
                                         "Desktop",
                                         "Documents",
                                         "Downloads",
                                         "Programs",
                                         "Music",
                                         "Pictures",
                                         "Videos",
                                         "Favorites",
                                         "Links",
                                         "Start Menu",
                                         "AppData",
                                         "AppData\\Local",
                                         "AppData\\Roaming",
                                         "AppData\\LocalLow",
                                         "AppData\\Local\\Temp",
                                         "AppData\\Local\\Programs",
                                         "Microsoft",
                                         "Microsoft\\Windows",
                                         "Microsoft\\Windows\\Start Menu",
                                         "Microsoft\\Windows\\Start Menu\\Programs",
                                         "OneDrive"});
    const std::string key = folder_key(below);
    return key.empty() || has_dots_alone_component(below) ||
           std::any_of(shared.begin(), shared.end(),
                       [&](std::string_view folder) { return folder_key(folder) == key; });
}

std::optional<std::string> shared_install_dir_fault(std::string_view dir) {
    const auto folder = user_folder_of(dir);
    if (!folder)
        return std::nullopt;
    const std::string_view below = dir.substr(folder->size());
    if (!below.empty() && below.front() != '\\' && below.front() != '/')
        return std::nullopt;
    if (has_dots_alone_component(below))
        return "the installation folder must not go through . or .. (" + std::string(dir) + ")";
    if (!is_shared_user_folder(below))
        return std::nullopt;
    return std::string(dir) +
           " is not a folder of the product's own but one that Windows and other programs "
           "share, and an update empties the installation's work directory Temp: give a "
           "folder below it, such as " +
           std::string(*folder) + "\\Programs\\<product>";
}

std::optional<std::string> publisher_fault(std::string_view name) {
    if (name.empty() || name.size() > longest_publisher || !is_valid_utf8(name) ||
        has_control_character(name))
        return "the publisher must be UTF-8 text of 1 to " + std::to_string(longest_publisher) +
               " bytes without line breaks or other control characters";
    return std::nullopt;
}

// A master record's values lose their leading and trailing blanks when read.
std::optional<std::string> product_fault(std::string_view name) {
    if (publisher_fault(name) || name.find('$') != std::string_view::npos || name.front() == ' ' ||
        name.back() == ' ')
        return "the product must be UTF-8 text of 1 to " + std::to_string(longest_publisher) +
               " bytes without \"$\", line breaks, other control characters or blanks at "
               "either end";
    return std::nullopt;
}

std::optional<std::string> base_url_fault(std::string_view url) {
    if (!starts_with_scheme(url, "http://") && !starts_with_scheme(url, "https://"))
        return "the base URL must begin with http:// or https:// and name a host";
    if (url.back() != '/')
        return "the base URL must end with /";
    if (url.find(' ') != std::string_view::npos || has_control_character(url))
        return "the base URL must not hold blanks or control characters";
    if (url.substr(url.find("//") + 2).front() == '/')
        return "the base URL names no host";
    return std::nullopt;
}

std::string format_launcher_config(const launcher_config& config) {
    std::string record = std::string(format_line) + "\n" + std::string(base_url_key) + "=" +
                         config.base_url + "\n" + std::string(public_key_key) + "=" +
                         config.release_key_hex + "\n";
    add_optional_line(record, install_dir_key, config.install_dir);
    add_optional_line(record, publisher_key, config.publisher);
    add_optional_line(record, product_key, config.product);
    add_optional_line(record, language_key, config.language);
    add_health_lines(record, config.health);
    add_text_lines(record, config.texts);
    return record;
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
    if (!key->second.empty() && !parse_key_ring(key->second))
        return refused("public_key is not one to four keys of 64 lower-case hex digits, "
                       "separated by commas");
    launcher_config config{url->second, key->second, value_or_empty(*values, install_dir_key),
                           value_or_empty(*values, publisher_key),
                           value_or_empty(*values, product_key)};
    if (values->contains(install_dir_key))
        if (const auto fault = install_dir_fault(config.install_dir))
            return refused("install_dir: " + *fault);
    if (values->contains(publisher_key))
        if (const auto fault = publisher_fault(config.publisher))
            return refused("publisher: " + *fault);
    if (values->contains(product_key))
        if (const auto fault = product_fault(config.product))
            return refused("product: " + *fault);
    config.language = value_or_empty(*values, language_key);
    if (values->contains(language_key))
        if (const auto fault = language_fault(config.language))
            return refused("language: " + *fault);
    const auto health = health_of(*values, fault);
    if (!health)
        return refused(fault);
    config.health = *health;
    // The texts are shown, converted to UTF-16: one that does not convert would end
    // the launcher where it speaks (the setup's failure, the removal's question).
    for (const auto& [text_key, text] : *values)
        if (text_key.starts_with(text_key_prefix) && !is_valid_utf8(text))
            return refused(text_key + ": the text is not UTF-8");
    if (const std::string lines = own_text_lines(*values); !lines.empty()) {
        parsed_text_table texts = parse_text_table(lines);
        if (!texts.table)
            return refused("text lines: " + texts.fault);
        config.texts = std::move(texts.table);
    }
    return {std::move(config), {}};
}

const text_table& launcher_texts(const launcher_config& config) {
    if (config.texts)
        return *config.texts;
    const text_table* builtin =
        builtin_text_table(config.language.empty() ? default_language : config.language);
    return builtin ? *builtin : *builtin_text_table(default_language);
}
