#include "ui_texts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A whole table file from a built-in table, with `line` put in place of `id`'s.
std::string table_file(text_id replaced = text_id::done, const std::string& line = {}) {
    const text_table& estonian = *builtin_text_table("et");
    std::string file = "# oma tekstid\n\n";
    for (std::size_t index = 0; index < text_count; ++index) {
        const auto id = static_cast<text_id>(index);
        if (id == replaced && !line.empty())
            file += line + "\n";
        else
            file += std::string(text_name(id)) + "=" + escape_text(estonian[id]) + "\r\n";
    }
    return file;
}

} // namespace

TEST(UiTexts, BuiltInTablesHoldEveryTextWithTheEstonianPlaceholders) {
    const text_table& estonian = *builtin_text_table("et");
    const text_table& english = *builtin_text_table("en");
    for (std::size_t index = 0; index < text_count; ++index) {
        const auto id = static_cast<text_id>(index);
        EXPECT_FALSE(estonian[id].empty()) << text_name(id);
        EXPECT_FALSE(english[id].empty()) << text_name(id);
        EXPECT_EQ(text_fault(id, english[id]), std::nullopt) << text_name(id);
    }
    EXPECT_EQ(estonian[text_id::unpack_failed],
              "Uuendamiseks vajalikku faili ei õnnestunud lahti pakkida.\nKontrollige, et "
              "uuendatav programm on suletud!");
    EXPECT_EQ(english[text_id::updating_files], "Updating files");
    EXPECT_EQ(builtin_text_table("fr"), nullptr);
    EXPECT_EQ(ui_text(text_id::downloading_file, {"a.dll"}), "Laen alla: a.dll");
}

TEST(UiTexts, APublishersTableIsTakenWholeOrRefusedNamingTheLine) {
    const parsed_text_table whole =
        parse_text_table("\xEF\xBB\xBF" + table_file(text_id::done, "done=Gatavs 100%%"));
    ASSERT_TRUE(whole.table) << whole.fault;
    EXPECT_EQ((*whole.table)[text_id::done], "Gatavs 100%%");
    EXPECT_EQ(format_text((*whole.table)[text_id::done], {}), "Gatavs 100%");

    const std::size_t done_line = 3 + static_cast<std::size_t>(text_id::done);
    const std::string at_done = "line " + std::to_string(done_line) + ": ";
    for (const auto& [line, fault] :
         {std::pair<std::string, std::string>{"done", at_done + "not id=text"},
          {"pabeid=x", at_done + "unknown id \"pabeid\""},
          {"done=100%", at_done + "a % that is not %s, %d or %%"},
          {"done=%s", at_done + "done takes no placeholder, not %s"},
          {"done=a\\tb", at_done + "a \\ that is not \\n or \\\\"}}) {
        const parsed_text_table refused = parse_text_table(table_file(text_id::done, line));
        EXPECT_FALSE(refused.table) << line;
        EXPECT_EQ(refused.fault.substr(0, fault.size()), fault) << refused.fault;
    }
    const std::string swapped =
        table_file(text_id::removal_done_files_left, "removal_done_files_left=%d: %s %s");
    EXPECT_NE(parse_text_table(swapped).fault.find("takes %s, %s, %d, not %d, %s, %s"),
              std::string::npos);
    EXPECT_NE(parse_text_table(table_file() + "done=x\n").fault.find("done is given twice"),
              std::string::npos);
    std::string without_done = table_file();
    without_done.erase(without_done.find("done=VALMIS"), std::string("done=VALMIS\r\n").size());
    EXPECT_EQ(parse_text_table(without_done).fault, "no text for done");
}
