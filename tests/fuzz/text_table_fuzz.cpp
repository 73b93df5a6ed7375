// A publisher's table of texts, as the stamp reads it. A table that is taken
// writes itself again in one form, which reads back to the same table, and each of
// its texts takes its arguments without reading past them.

#include "fuzz_support.h"

#include "ui_texts.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const parsed_text_table parsed = parse_text_table(text);
    require(parsed.table.has_value() == parsed.fault.empty(), "a table is taken or refused");
    if (!parsed.table)
        return 0;
    std::string written;
    for (std::size_t index = 0; index < text_count; ++index) {
        const auto id = static_cast<text_id>(index);
        written += std::string(text_name(id)) + "=" + escape_text((*parsed.table)[id]) + "\n";
        format_text((*parsed.table)[id], {});
        const std::string_view arguments[] = {"a", "1", "b"};
        format_text((*parsed.table)[id], arguments);
    }
    const parsed_text_table again = parse_text_table(written);
    require(again.table == parsed.table, "a written table reads back unchanged");
    return 0;
}
