#include "strong_digests.h"

#include "hex_text.h"

#include <algorithm>

namespace {

constexpr std::string_view header = "quillomark sha256 1";
constexpr std::string_view file_word = "file";
constexpr std::string_view served_word = "served";
constexpr std::size_t hex_digits = 2 * sizeof(sha256_digest);
constexpr std::string_view product_name = "*product ";
constexpr std::string_view version_name = "*version ";

bool has_control_character(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < ' ' || c == 0x7f; });
}

std::optional<strong_digest_record::kind> kind_named(std::string_view word) {
    if (word == file_word)
        return strong_digest_record::kind::file;
    if (word == served_word)
        return strong_digest_record::kind::served;
    return std::nullopt;
}

// A binding line's value into its slot; false for a second one, an empty value
// or a digest that is not the value's.
bool bind(std::optional<std::string>& slot, std::string_view value, const sha256_digest& digest) {
    if (slot || value.empty() || sha256_of_bytes(value) != digest)
        return false;
    slot = std::string(value);
    return true;
}

std::string binding_line(std::string_view name, const std::string& value) {
    return std::string(file_word) + " " + hex_of(sha256_of_bytes(value)) + " " + std::string(name) +
           value + "\n";
}

// "<kind> <hex> <name>" into the record; false for any other line.
bool add_line(std::string_view line, strong_digest_record& record) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return false;
    const auto of = kind_named(line.substr(0, blank));
    const std::string_view rest = line.substr(blank + 1);
    if (!of || rest.size() < hex_digits + 2 || rest[hex_digits] != ' ')
        return false;
    const auto bytes = bytes_from_hex(rest.substr(0, hex_digits));
    const std::string_view name = rest.substr(hex_digits + 1);
    if (!bytes || has_control_character(name))
        return false;
    sha256_digest digest;
    std::copy(bytes->begin(), bytes->end(), digest.begin());
    return record.add(*of, std::string(name), digest);
}

} // namespace

bool strong_digest_record::add(kind of, const std::string& name, const sha256_digest& digest) {
    if (of == kind::file && name.starts_with('*'))
        return bind(name, digest);
    return (of == kind::file ? files_ : served_).emplace(name, digest).second;
}

const sha256_digest* strong_digest_record::find(kind of, const std::string& name) const {
    const auto& digests = of == kind::file ? files_ : served_;
    const auto found = digests.find(name);
    return found == digests.end() ? nullptr : &found->second;
}

bool strong_digest_record::bind(std::string_view name, const sha256_digest& digest) {
    if (name.starts_with(product_name))
        return ::bind(product_, name.substr(product_name.size()), digest);
    if (name.starts_with(version_name))
        return ::bind(version_, name.substr(version_name.size()), digest);
    return false;
}

std::string strong_digest_record::text() const {
    std::string text = std::string(header) + "\n";
    if (product_)
        text += binding_line(product_name, *product_);
    if (version_)
        text += binding_line(version_name, *version_);
    for (const auto& [word, digests] :
         {std::pair{file_word, &files_}, std::pair{served_word, &served_}})
        for (const auto& [name, digest] : *digests)
            text.append(word).append(" ").append(hex_of(digest)).append(" ").append(name) += '\n';
    return text;
}

std::optional<strong_digest_record> parse_strong_digests(std::string_view text) {
    if (!text.starts_with(std::string(header) + "\n"))
        return std::nullopt;
    text.remove_prefix(header.size() + 1);
    strong_digest_record record;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos || !add_line(text.substr(0, end), record))
            return std::nullopt;
        text.remove_prefix(end + 1);
    }
    return record;
}
