#include "pe_resources.h"

#include "little_endian.h"

#include <algorithm>
#include <span>
#include <vector>

namespace {

using byte_view = std::span<const unsigned char>;

std::uint32_t align_up(std::uint64_t value, std::uint32_t alignment) {
    return static_cast<std::uint32_t>((value + alignment - 1) / alignment * alignment);
}

constexpr std::uint32_t subdirectory_flag = 0x80000000;

// Of the optional header's data directories, only these are written.
constexpr std::uint32_t max_directories = 16;

namespace directory {
constexpr std::size_t resources = 2;
constexpr std::size_t security = 4;
constexpr std::size_t relocations = 5;
constexpr std::size_t debug = 6;
} // namespace directory

// Offsets in the COFF header, the PE32 optional header and a section header.
namespace field {
constexpr std::size_t machine = 0;
constexpr std::size_t section_count = 2;
constexpr std::size_t symbol_table = 8;
constexpr std::size_t optional_size = 16;
constexpr std::size_t initialized_data = 8;
constexpr std::size_t section_alignment = 32;
constexpr std::size_t file_alignment = 36;
constexpr std::size_t image_size = 56;
constexpr std::size_t checksum = 64;
constexpr std::size_t directory_count = 92;
constexpr std::size_t directories = 96;
constexpr std::size_t virtual_size = 8;
constexpr std::size_t virtual_address = 12;
constexpr std::size_t raw_size = 16;
constexpr std::size_t raw_pointer = 20;
} // namespace field

struct section_header {
    std::size_t at; // of the header in the file
    std::uint32_t virtual_size;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
    std::uint32_t raw_pointer;
};

struct pe_layout {
    std::size_t coff = 0;
    std::size_t optional = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::uint32_t directory_count = 0;
    std::vector<section_header> sections;
    std::size_t headers_end = 0; // of the directories and the section table
    std::size_t resources = 0;   // index of the resource section

    std::size_t directory_at(std::size_t index) const {
        return optional + field::directories + 8 * index;
    }
    const section_header& resource_section() const { return sections[resources]; }
};

pe_layout read_layout(byte_view image) {
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        throw pe_format_error("not a Windows executable");
    const std::uint32_t signature = u32_at(image, 0x3c);
    if (u32_at(image, signature) != 0x00004550)
        throw pe_format_error("no PE header");
    pe_layout layout;
    layout.coff = signature + 4;
    layout.optional = layout.coff + 20;
    if (u16_at(image, layout.coff + field::machine) != 0x14c ||
        u16_at(image, layout.optional) != 0x10b)
        throw pe_format_error("not a 32-bit x86 program");
    layout.section_alignment = u32_at(image, layout.optional + field::section_alignment);
    layout.file_alignment = u32_at(image, layout.optional + field::file_alignment);
    layout.directory_count = u32_at(image, layout.optional + field::directory_count);
    if (layout.file_alignment == 0 || layout.section_alignment < layout.file_alignment ||
        layout.directory_count <= directory::debug)
        throw pe_format_error("damaged optional header");
    const std::size_t table = layout.optional + u16_at(image, layout.coff + field::optional_size);
    const std::uint32_t resource_rva = u32_at(image, layout.directory_at(directory::resources));
    for (std::size_t i = 0; i < u16_at(image, layout.coff + field::section_count); ++i) {
        const std::size_t at = table + 40 * i;
        layout.sections.push_back({at, u32_at(image, at + field::virtual_size),
                                   u32_at(image, at + field::virtual_address),
                                   u32_at(image, at + field::raw_size),
                                   u32_at(image, at + field::raw_pointer)});
        if (layout.sections.back().virtual_address == resource_rva)
            layout.resources = i;
    }
    layout.headers_end =
        std::max(layout.directory_at(std::min(layout.directory_count, max_directories)),
                 table + 40 * layout.sections.size());
    const section_header* found = layout.sections.empty() ? nullptr : &layout.resource_section();
    if (resource_rva == 0 || !found || found->virtual_address != resource_rva ||
        std::uint64_t{found->raw_pointer} + found->raw_size > image.size())
        throw pe_format_error("no resource section");
    return layout;
}

// Reads the three levels (type, name, language) of the resource directory.
class resource_reader {
  public:
    resource_reader(byte_view image, const section_header& section)
        : section_(
              image.subspan(section.raw_pointer, std::min(section.raw_size, section.virtual_size))),
          rva_(section.virtual_address) {}

    resource_tree tree() const {
        resource_tree tree;
        for_each_entry(0, [&](const resource_id& type, std::uint32_t names) {
            for_each_entry(
                subdirectory(names), [&](const resource_id& name, std::uint32_t languages) {
                    for_each_entry(subdirectory(languages),
                                   [&](const resource_id& language, std::uint32_t leaf) {
                                       if (!language.name.empty())
                                           throw pe_format_error("a resource language is a name");
                                       tree[type][name][language.number] = data(leaf);
                                   });
                });
        });
        return tree;
    }

  private:
    template <typename visit> void for_each_entry(std::uint32_t table, visit&& each) const {
        const std::uint32_t count = u16_at(section_, table + 12) + u16_at(section_, table + 14);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t entry = table + 16 + 8 * std::size_t{i};
            each(id(u32_at(section_, entry)), u32_at(section_, entry + 4));
        }
    }

    resource_id id(std::uint32_t name_field) const {
        if (!(name_field & subdirectory_flag)) {
            if (name_field > 0xffff)
                throw pe_format_error("a resource number is out of range");
            return {{}, static_cast<std::uint16_t>(name_field)};
        }
        const std::size_t at = name_field & ~subdirectory_flag;
        resource_id named;
        for (std::size_t i = 0; i < u16_at(section_, at); ++i)
            named.name.push_back(static_cast<char16_t>(u16_at(section_, at + 2 + 2 * i)));
        if (named.name.empty())
            throw pe_format_error("a resource name is empty");
        return named;
    }

    static std::uint32_t subdirectory(std::uint32_t target) {
        if (!(target & subdirectory_flag))
            throw pe_format_error("the resource directory has too few levels");
        return target & ~subdirectory_flag;
    }

    resource_data data(std::uint32_t leaf) const {
        if (leaf & subdirectory_flag)
            throw pe_format_error("the resource directory has too many levels");
        const std::uint32_t rva = u32_at(section_, leaf);
        const std::uint32_t size = u32_at(section_, leaf + 4);
        if (rva < rva_ || rva - rva_ > section_.size() || section_.size() - (rva - rva_) < size)
            throw pe_format_error("resource data lies outside the resource section");
        const auto content = section_.subspan(rva - rva_, size);
        return {bytes(content.begin(), content.end()), u32_at(section_, leaf + 8)};
    }

    byte_view section_;
    std::uint32_t rva_;
};

std::uint32_t table_size(std::size_t entries) {
    return static_cast<std::uint32_t>(16 + 8 * entries);
}

// The resource section for `tree` at `section_rva`: every directory table first,
// then the names, the data entries and the data (each on 8 bytes).
bytes write_resource_section(const resource_tree& tree, std::uint32_t section_rva) {
    std::vector<const resource_languages*> language_tables;
    std::uint32_t tables = table_size(tree.size());
    for (const auto& [type, names] : tree) {
        tables += table_size(names.size());
        for (const auto& [name, languages] : names) {
            tables += table_size(languages.size());
            language_tables.push_back(&languages);
        }
    }
    bytes strings;
    std::map<std::u16string, std::uint32_t> string_at;
    const auto note_name = [&](const resource_id& id) {
        if (id.name.empty() || string_at.contains(id.name))
            return;
        string_at[id.name] = tables + static_cast<std::uint32_t>(strings.size());
        append_u16(strings, static_cast<std::uint32_t>(id.name.size()));
        for (const char16_t c : id.name)
            append_u16(strings, c);
    };
    for (const auto& [type, names] : tree) {
        note_name(type);
        for (const auto& entry : names)
            note_name(entry.first);
    }
    std::size_t leaves = 0;
    for (const auto* languages : language_tables)
        leaves += languages->size();
    const std::uint32_t entries = align_up(tables + strings.size(), 4);
    bytes out(align_up(entries + 16 * leaves, 8));
    std::copy(strings.begin(), strings.end(), out.begin() + tables);

    std::uint32_t next_table = 0;
    const auto write_table = [&](const auto& children, auto&& target_of) {
        const std::uint32_t at = next_table;
        next_table += table_size(children.size());
        std::uint16_t named = 0;
        std::size_t i = 0;
        for (const auto& [id, child] : children) {
            const std::size_t entry = at + 16 + 8 * i++;
            if constexpr (std::is_same_v<std::decay_t<decltype(id)>, resource_id>) {
                named += !id.name.empty();
                put_u32(out, entry,
                        id.name.empty() ? id.number : subdirectory_flag | string_at[id.name]);
            } else {
                put_u32(out, entry, id);
            }
            put_u32(out, entry + 4, target_of(child));
        }
        put_u16(out, at + 12, named);
        put_u16(out, at + 14, static_cast<std::uint32_t>(children.size() - named));
    };
    // Breadth first: the root, the tables of every type, those of every name.
    std::uint32_t child_table = table_size(tree.size());
    const auto next_subdirectory = [&](std::size_t entries_of_child) {
        const std::uint32_t at = child_table;
        child_table += table_size(entries_of_child);
        return subdirectory_flag | at;
    };
    write_table(tree, [&](const resource_names& names) { return next_subdirectory(names.size()); });
    for (const auto& entry : tree)
        write_table(entry.second, [&](const resource_languages& languages) {
            return next_subdirectory(languages.size());
        });
    std::uint32_t leaf = entries;
    for (const auto* languages : language_tables)
        write_table(*languages, [&](const resource_data& data) {
            const std::uint32_t at = leaf;
            leaf += 16;
            put_u32(out, at, section_rva + static_cast<std::uint32_t>(out.size()));
            put_u32(out, at + 4, static_cast<std::uint32_t>(data.content.size()));
            put_u32(out, at + 8, data.code_page);
            out.insert(out.end(), data.content.begin(), data.content.end());
            out.resize(align_up(out.size(), 8));
            return at;
        });
    return out;
}

// Moving the sections after the resources is only sound when nothing is fixed up
// there, and no debug directory names file offsets behind them.
void check_movable(byte_view image, const pe_layout& layout) {
    const std::uint32_t start = layout.resource_section().virtual_address;
    if (u32_at(image, layout.directory_at(directory::debug) + 4) != 0)
        throw pe_format_error("a debug directory is not supported");
    const std::uint32_t relocations = u32_at(image, layout.directory_at(directory::relocations));
    const std::uint32_t size = u32_at(image, layout.directory_at(directory::relocations) + 4);
    for (const auto& section : layout.sections) {
        if (relocations < section.virtual_address ||
            relocations - section.virtual_address >= section.raw_size)
            continue;
        const std::size_t first = section.raw_pointer + (relocations - section.virtual_address);
        for (std::size_t block = first; block + 8 <= first + size;) {
            const std::uint32_t block_size = u32_at(image, block + 4);
            if (u32_at(image, block) >= start)
                throw pe_format_error("relocations lie behind the resources");
            if (block_size < 8)
                break;
            block += block_size;
        }
    }
}

std::size_t checksum_field(byte_view image) {
    return read_layout(image).optional + field::checksum;
}

} // namespace

resource_id resource_id::named(const std::string& ascii_name) {
    return {std::u16string(ascii_name.begin(), ascii_name.end()), 0};
}

bool resource_id::operator<(const resource_id& other) const {
    if (name.empty() != other.name.empty())
        return !name.empty();
    return name.empty() ? number < other.number : name < other.name;
}

resource_tree read_resources(const bytes& image) {
    const pe_layout layout = read_layout(image);
    return resource_reader(image, layout.resource_section()).tree();
}

bytes replace_resources(const bytes& image, const resource_tree& tree) {
    const pe_layout layout = read_layout(image);
    check_movable(image, layout);
    const section_header& old = layout.resource_section();
    if (old.raw_size % layout.file_alignment != 0)
        throw pe_format_error("the resource section is not aligned");
    // The headers are rewritten in place, before the new section.
    if (old.raw_pointer < layout.headers_end)
        throw pe_format_error("the resource section overlaps the headers");
    bytes section = write_resource_section(tree, old.virtual_address);
    const auto new_size = static_cast<std::uint32_t>(section.size());
    section.resize(align_up(new_size, layout.file_alignment));
    const std::int64_t file_shift = std::int64_t(section.size()) - old.raw_size;
    const std::int64_t address_shift = std::int64_t(align_up(new_size, layout.section_alignment)) -
                                       align_up(old.virtual_size, layout.section_alignment);

    std::size_t end = image.size();
    const std::size_t security = layout.directory_at(directory::security);
    if (const std::uint32_t signature = u32_at(image, security); signature != 0) {
        if (signature < old.raw_pointer + old.raw_size ||
            std::uint64_t{signature} + u32_at(image, security + 4) != image.size())
            throw pe_format_error("the signature is not at the end of the file");
        end = signature;
    }
    bytes out(image.begin(), image.begin() + old.raw_pointer);
    out.insert(out.end(), section.begin(), section.end());
    out.insert(out.end(), image.begin() + old.raw_pointer + old.raw_size, image.begin() + end);

    const auto shifted = [](std::uint32_t value, std::int64_t shift) {
        return static_cast<std::uint32_t>(value + shift);
    };
    std::uint32_t image_size = 0;
    for (const auto& header : layout.sections) {
        std::uint32_t address = header.virtual_address;
        std::uint32_t virtual_size = header.virtual_size;
        if (&header == &old) {
            virtual_size = new_size;
            put_u32(out, header.at + field::virtual_size, new_size);
            put_u32(out, header.at + field::raw_size, static_cast<std::uint32_t>(section.size()));
        } else {
            if (address > old.virtual_address)
                address = shifted(address, address_shift);
            put_u32(out, header.at + field::virtual_address, address);
            if (header.raw_pointer > old.raw_pointer)
                put_u32(out, header.at + field::raw_pointer,
                        shifted(header.raw_pointer, file_shift));
        }
        // A section without a virtual size takes as much memory as its raw data.
        const std::uint32_t mapped = virtual_size ? virtual_size : header.raw_size;
        image_size = std::max(image_size, address + align_up(mapped, layout.section_alignment));
    }
    for (std::size_t index = 0; index < std::min(layout.directory_count, max_directories);
         ++index) {
        const std::size_t at = layout.directory_at(index);
        const std::uint32_t address = u32_at(image, at);
        if (index == directory::security && address != 0)
            put_u32(out, at + 4, 0), put_u32(out, at, 0);
        else if (index == directory::resources)
            put_u32(out, at + 4, new_size);
        else if (address > old.virtual_address)
            put_u32(out, at, shifted(address, address_shift));
    }
    const std::uint32_t symbols = u32_at(image, layout.coff + field::symbol_table);
    if (symbols > old.raw_pointer)
        put_u32(out, layout.coff + field::symbol_table, shifted(symbols, file_shift));
    put_u32(out, layout.optional + field::image_size, image_size);
    put_u32(out, layout.optional + field::initialized_data,
            shifted(u32_at(image, layout.optional + field::initialized_data), file_shift));
    put_u32(out, layout.optional + field::checksum, computed_checksum(out));
    return out;
}

std::uint32_t stored_checksum(const bytes& image) {
    return u32_at(image, checksum_field(image));
}

// The sum of the image's 16-bit words with carries folded back, the checksum field
// counted as zero, plus the file's length.
std::uint32_t computed_checksum(const bytes& image) {
    const std::size_t skipped = checksum_field(image);
    const auto byte_at = [&](std::size_t i) -> std::uint32_t {
        return i >= image.size() || (i >= skipped && i < skipped + 4) ? 0 : image[i];
    };
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        sum += byte_at(i) | byte_at(i + 1) << 8;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(((sum & 0xffff) + (sum >> 16)) + image.size());
}
