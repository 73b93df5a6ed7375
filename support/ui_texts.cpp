#include "ui_texts.h"

#include <algorithm>
#include <bitset>

std::string_view builtin_text_table_source(std::string_view language);

namespace {

#define QM_TEXT_NAME(name) #name,
constexpr std::array<std::string_view, text_count> text_names = {QM_TEXT_IDS(QM_TEXT_NAME)};
#undef QM_TEXT_NAME

// The kinds of a text's placeholders in order ("sd" for %s then %d), or nothing
// when a "%" starts none.
std::optional<std::string> placeholder_kinds(std::string_view text) {
    std::string kinds;
    for (std::size_t at = text.find('%'); at != std::string_view::npos;
         at = text.find('%', at + 2)) {
        const char kind = at + 1 < text.size() ? text[at + 1] : '\0';
        if (kind != 's' && kind != 'd' && kind != '%')
            return std::nullopt;
        if (kind != '%')
            kinds += kind;
    }
    return kinds;
}

std::string describe_kinds(const std::string& kinds) {
    if (kinds.empty())
        return "no placeholder";
    std::string described;
    for (const char kind : kinds)
        described += (described.empty() ? "%" : ", %") + std::string(1, kind);
    return described;
}

parsed_text_table table_fault(std::size_t line, const std::string& why) {
    return {std::nullopt, "line " + std::to_string(line) + ": " + why};
}

// The lines of a table that hold texts, by number, without a final carriage return.
template <typename Visit> bool for_each_text_line(std::string_view file, Visit visit) {
    std::size_t number = 0;
    for (std::size_t start = 0; start < file.size();) {
        const std::size_t end = std::min(file.find('\n', start), file.size());
        std::string_view line = file.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty() && line.front() != '#' && !visit(number, line))
            return false;
    }
    return true;
}

std::optional<std::string>
placeholders_fault(std::string_view text, const std::optional<std::string>& expected, text_id id) {
    const std::optional<std::string> kinds = placeholder_kinds(text);
    if (!kinds)
        return "a % that is not %s, %d or %%";
    if (expected && kinds != expected)
        return std::string(text_name(id)) + " takes " + describe_kinds(*expected) + ", not " +
               describe_kinds(*kinds);
    return std::nullopt;
}

parsed_text_table parse_table(std::string_view file, const text_table* reference);

// The Estonian table is the reference of the others' placeholders: its own are only
// checked for their form.
const text_table& estonian_table() {
    static const text_table table =
        parse_table(builtin_text_table_source("et"), nullptr).table.value_or(text_table{});
    return table;
}

const text_table* active_table = nullptr;

} // namespace

std::string_view text_name(text_id id) {
    return text_names[static_cast<std::size_t>(id)];
}

std::optional<text_id> text_id_named(std::string_view name) {
    const auto found = std::find(text_names.begin(), text_names.end(), name);
    if (found == text_names.end())
        return std::nullopt;
    return static_cast<text_id>(found - text_names.begin());
}

std::string escape_text(std::string_view text) {
    std::string escaped;
    for (const char character : text) {
        if (character == '\n')
            escaped += "\\n";
        else if (character == '\\')
            escaped += "\\\\";
        else
            escaped += character;
    }
    return escaped;
}

std::optional<std::string> unescape_text(std::string_view escaped) {
    std::string text;
    for (std::size_t at = 0; at < escaped.size(); ++at) {
        if (escaped[at] != '\\') {
            text += escaped[at];
            continue;
        }
        const char next = at + 1 < escaped.size() ? escaped[at + 1] : '\0';
        if (next != 'n' && next != '\\')
            return std::nullopt;
        text += next == 'n' ? '\n' : '\\';
        ++at;
    }
    return text;
}

std::optional<std::string> text_fault(text_id id, std::string_view text) {
    return placeholders_fault(text, placeholder_kinds(estonian_table()[id]), id);
}

namespace {

// Editors on Windows often begin a UTF-8 file with a byte order mark.
constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

parsed_text_table parse_table(std::string_view file, const text_table* reference) {
    if (file.starts_with(utf8_byte_order_mark))
        file.remove_prefix(utf8_byte_order_mark.size());
    text_table table;
    std::bitset<text_count> seen;
    std::optional<parsed_text_table> fault;
    for_each_text_line(file, [&](std::size_t number, std::string_view line) {
        const std::size_t equals = line.find('=');
        const std::string_view name = line.substr(0, equals);
        const std::optional<text_id> id = text_id_named(name);
        const std::optional<std::string> text = equals == std::string_view::npos
                                                    ? std::nullopt
                                                    : unescape_text(line.substr(equals + 1));
        if (equals == std::string_view::npos)
            fault = table_fault(number, "not id=text");
        else if (!id)
            fault = table_fault(number, "unknown id \"" + std::string(name) + "\"");
        else if (seen[static_cast<std::size_t>(*id)])
            fault = table_fault(number, std::string(name) + " is given twice");
        else if (!text)
            fault = table_fault(number, "a \\ that is not \\n or \\\\");
        else if (const auto wrong = placeholders_fault(
                     *text, reference ? placeholder_kinds((*reference)[*id]) : std::nullopt, *id))
            fault = table_fault(number, *wrong);
        else {
            seen.set(static_cast<std::size_t>(*id));
            table[*id] = *text;
        }
        return !fault;
    });
    if (fault)
        return *fault;
    for (std::size_t index = 0; index < text_count; ++index)
        if (!seen[index])
            return {std::nullopt, "no text for " + std::string(text_names[index])};
    return {table, {}};
}

} // namespace

parsed_text_table parse_text_table(std::string_view file) {
    return parse_table(file, &estonian_table());
}

const text_table* builtin_text_table(std::string_view language) {
    if (language == "et")
        return &estonian_table();
    if (language == "en") {
        static const text_table english =
            parse_text_table(builtin_text_table_source("en")).table.value_or(text_table{});
        return &english;
    }
    return nullptr;
}

std::string format_text(std::string_view pattern, std::span<const std::string_view> arguments) {
    std::string text;
    auto next = arguments.begin();
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        const char kind = pattern[at] == '%' && at + 1 < pattern.size() ? pattern[at + 1] : '\0';
        if (kind == '%') {
            text += '%';
            ++at;
        } else if ((kind == 's' || kind == 'd') && next != arguments.end()) {
            text += *next++;
            ++at;
        } else {
            text += pattern[at];
        }
    }
    return text;
}

void use_text_table(const text_table& table) {
    static text_table chosen;
    chosen = table;
    active_table = &chosen;
}

const std::string& ui_text(text_id id) {
    return (active_table ? *active_table : estonian_table())[id];
}

std::string ui_text(text_id id, std::initializer_list<std::string_view> arguments) {
    return format_text(ui_text(id), std::span(arguments.begin(), arguments.size()));
}
