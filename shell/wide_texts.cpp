#include "wide_texts.h"

#include "utf8.h"

#include <string_view>
#include <vector>

std::wstring wide_ui_text(text_id id, std::initializer_list<std::wstring> arguments) {
    std::vector<std::string> utf8_arguments;
    for (const std::wstring& argument : arguments)
        utf8_arguments.push_back(wide_to_utf8(argument));
    const std::vector<std::string_view> views(utf8_arguments.begin(), utf8_arguments.end());
    return utf8_to_wide(format_text(ui_text(id), views));
}
