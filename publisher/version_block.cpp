#include "version_block.h"

#include "little_endian.h"
#include "pe_resources.h"

#include <charconv>
#include <vector>

namespace {

struct version_node {
    std::u16string key;
    bool text = false;
    bytes value; // text: UTF-16 without its terminator
    std::vector<version_node> children;
};

std::size_t align4(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

// A version block nests four levels deep (root, file information, table, string).
constexpr int deepest_node = 8;

// The node at `start` of the block, whose last byte is before `limit`.
version_node parse_node(const bytes& block, std::size_t start, std::size_t limit, int depth = 0) {
    const std::size_t end = start + u16_at(block, start);
    const std::size_t value_length = u16_at(block, start + 2);
    if (end > limit || end < start + 6 || depth > deepest_node)
        throw pe_format_error("a version node does not fit its parent");
    version_node node;
    node.text = u16_at(block, start + 4) == 1;
    std::size_t at = start + 6;
    for (char16_t c; at < end && (c = u16_at(block, at)) != 0; at += 2)
        node.key.push_back(c);
    const std::size_t value_start = align4(at + 2);
    // Writers differ in counting a text value in characters or bytes.
    const std::size_t value_end =
        std::min(end, value_start + (node.text ? 2 * value_length : value_length));
    if (value_start < value_end)
        node.value.assign(block.begin() + std::ptrdiff_t(value_start),
                          block.begin() + std::ptrdiff_t(value_end));
    if (node.text) {
        std::size_t characters = 0;
        while (2 * characters + 1 < node.value.size() &&
               (node.value[2 * characters] || node.value[2 * characters + 1]))
            ++characters;
        node.value.resize(2 * characters);
    }
    for (std::size_t child = align4(value_end); child + 6 <= end;) {
        node.children.push_back(parse_node(block, child, end, depth + 1));
        child = align4(child + u16_at(block, child));
    }
    return node;
}

bytes write_node(const version_node& node) {
    bytes out(6, 0);
    for (const char16_t c : node.key)
        append_u16(out, c);
    append_u16(out, 0);
    out.resize(align4(out.size()));
    // The tables above the strings hold no text value; a string holds one, if empty.
    const bool text_value = node.text && (node.children.empty() || !node.value.empty());
    out.insert(out.end(), node.value.begin(), node.value.end());
    if (text_value)
        append_u16(out, 0);
    put_u16(out, 2, text_value ? node.value.size() / 2 + 1 : node.text ? 0 : node.value.size());
    put_u16(out, 4, node.text ? 1 : 0);
    for (const auto& child : node.children) {
        out.resize(align4(out.size()));
        const bytes written = write_node(child);
        out.insert(out.end(), written.begin(), written.end());
    }
    if (out.size() > 0xffff)
        throw pe_format_error("the version block grows too large");
    put_u16(out, 0, out.size());
    return out;
}

std::u16string u16(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

bytes utf16_bytes(const std::u16string& text) {
    bytes out;
    for (const char16_t c : text)
        append_u16(out, c);
    return out;
}

std::string utf8_of(const bytes& utf16) {
    std::string out;
    for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
        std::uint32_t c = u16_at(utf16, i);
        if (c >= 0xd800 && c < 0xdc00 && i + 3 < utf16.size()) {
            c = 0x10000 + ((c - 0xd800) << 10) + (u16_at(utf16, i + 2) - 0xdc00);
            i += 2;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

constexpr std::uint32_t fixed_signature = 0xfeef04bd;
constexpr std::size_t fixed_size = 52;

version_node parse_root(const bytes& block) {
    version_node root = parse_node(block, 0, block.size());
    if (root.key != u"VS_VERSION_INFO" || root.value.size() != fixed_size ||
        u32_at(root.value, 0) != fixed_signature)
        throw pe_format_error("the version block has no fixed file information");
    return root;
}

version_numbers numbers_at(const bytes& fixed, std::size_t offset) {
    return {u16_at(fixed, offset + 2), u16_at(fixed, offset), u16_at(fixed, offset + 6),
            u16_at(fixed, offset + 4)};
}

void put_numbers(bytes& fixed, std::size_t offset, const version_numbers& numbers) {
    put_u16(fixed, offset, numbers[1]);
    put_u16(fixed, offset + 2, numbers[0]);
    put_u16(fixed, offset + 4, numbers[3]);
    put_u16(fixed, offset + 6, numbers[2]);
}

constexpr std::size_t file_version_at = 8;
constexpr std::size_t product_version_at = 16;

void set_string(version_node& table, const std::string& key, const std::u16string& value) {
    for (auto& entry : table.children)
        if (entry.key == u16(key)) {
            entry.value = utf16_bytes(value);
            return;
        }
    table.children.push_back({u16(key), true, utf16_bytes(value), {}});
}

} // namespace

std::optional<version_numbers> parse_version_numbers(const std::string& text) {
    version_numbers numbers{};
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0 && (at == end || *at++ != '.'))
            return std::nullopt;
        if (at == end || *at < '0' || *at > '9')
            return std::nullopt;
        const auto [next, error] = std::from_chars(at, end, numbers[i]);
        if (error != std::errc())
            return std::nullopt;
        at = next;
    }
    return at == end ? std::optional(numbers) : std::nullopt;
}

std::string version_text(const version_numbers& numbers) {
    return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
           std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
}

version_block_values read_version_block(const bytes& block) {
    const version_node root = parse_root(block);
    version_block_values values{
        numbers_at(root.value, file_version_at), numbers_at(root.value, product_version_at), {}};
    for (const auto& info : root.children)
        if (info.key == u"StringFileInfo")
            for (const auto& table : info.children)
                for (const auto& entry : table.children)
                    values.strings[utf8_of(utf16_bytes(entry.key))] = utf8_of(entry.value);
    return values;
}

bytes restamp_version_block(const bytes& block, const std::optional<std::string>& product,
                            const std::optional<version_numbers>& version) {
    version_node root = parse_root(block);
    if (version) {
        put_numbers(root.value, file_version_at, *version);
        put_numbers(root.value, product_version_at, *version);
    }
    for (auto& info : root.children)
        if (info.key == u"StringFileInfo")
            for (auto& table : info.children) {
                if (product) {
                    set_string(table, "ProductName", *utf16_of(*product));
                    set_string(table, "FileDescription", *utf16_of(*product));
                }
                if (version) {
                    set_string(table, "FileVersion", u16(version_text(*version)));
                    set_string(table, "ProductVersion", u16(version_text(*version)));
                }
            }
    return write_node(root);
}

std::optional<std::u16string> utf16_of(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80       ? 1
                                   : lead >> 5 == 6  ? 2
                                   : lead >> 4 == 14 ? 3
                                   : lead >> 3 == 30 ? 4
                                                     : 0;
        if (length == 0 || i + length > text.size())
            return std::nullopt;
        std::uint32_t c = length == 1 ? lead : lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next >> 6 != 2)
                return std::nullopt;
            c = c << 6 | (next & 0x3f);
        }
        static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < smallest[length] || c > 0x10ffff || (c >= 0xd800 && c < 0xe000))
            return std::nullopt;
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xd800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}
