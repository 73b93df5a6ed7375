#include "launcher_config.h"

#include <gtest/gtest.h>

namespace {

const std::string key_hex(64, 'a');

// Every text marked, one with backslashes, so that the record's escapes are needed.
text_table own_texts() {
    text_table texts = *builtin_text_table("et");
    for (std::string& text : texts.texts)
        text = "[" + text + "]";
    texts[text_id::done] = "C:\\uus\\nimi\nrida";
    return texts;
}

} // namespace

TEST(LauncherConfig, WrittenRecordReadsBackAndOnlyAWholeValidRecordCounts) {
    for (const launcher_config& config :
         {launcher_config{"http://127.0.0.1:8480/download/", ""},
          launcher_config{"https://updates.example.com/", key_hex},
          launcher_config{"https://updates.example.com/", key_hex,
                          "%LOCALAPPDATA%\\Programs\\Näidisrakendus", "Näide OÜ"},
          launcher_config{"https://updates.example.com/", key_hex, "", "", "Õun & pirn 2"},
          launcher_config{"http://h/d/", "", "%userprofile%", ""},
          launcher_config{"http://h/d/", "", "", "", "", "en"},
          launcher_config{"http://h/d/", "", "", "", "", "", own_texts()},
          launcher_config{"http://h/d/", "", "", "", "", "", {}, {health_check::way::confirm}},
          launcher_config{
              "http://h/d/", "", "", "", "", "", {}, {health_check::way::watch, 30, 5, true}}}) {
        const auto parsed = parse_launcher_config(format_launcher_config(config));
        ASSERT_TRUE(parsed.config) << parsed.fault;
        EXPECT_EQ(*parsed.config, config);
    }
    const std::string format = "quillomark-config 1\n";
    const std::string url = "base_url=http://h/d/\n";
    for (const std::string& damaged :
         {std::string(), std::string("quillomark-config 2\n") + url + "public_key=\n", format + url,
          format + "public_key=\n", format + url + "public_key=\nbase_url=http://x/\n",
          format + url + "public_key=\nother=1\n", format + url + "public_key=ABC\n",
          format + url + "public_key=" + std::string(64, 'A') + "\n",
          format + "base_url=ftp://h/d/\npublic_key=\n",
          format + "base_url=http://h/d\npublic_key=\n",
          format + "base_url=http:///d/\npublic_key=\n",
          format + "base_url=http://h/a b/\npublic_key=\n",
          std::string("quillomark-config 1\r\n") + url + "public_key=\n",
          // The installation folder is the user's own, and stays below it.
          format + url + "public_key=\ninstall_dir=C:\\Programs\\App\n",
          format + url + "public_key=\ninstall_dir=%TEMP%\\App\n",
          format + url + "public_key=\ninstall_dir=%APPDATA%App\n",
          format + url + "public_key=\ninstall_dir=%APPDATA%\\..\\App\n",
          format + url + "public_key=\ninstall_dir=%APPDATA%\\a/b\n",
          format + url + "public_key=\ninstall_dir=%APPDATA%\\%TEMP%\n",
          format + url + "public_key=\ninstall_dir=%APPDATA%\\\n",
          format + url + "public_key=\ninstall_dir=\n",
          format + url + "public_key=\npublisher=a\tb\n",
          format + url + "public_key=\npublisher=\xff\n",
          // The product goes into master records, whose pieces "$" separates and whose
          // values lose their blanks at either end.
          format + url + "public_key=\nproduct=a$version=9\n",
          format + url + "public_key=\nproduct= a\n", format + url + "public_key=\nproduct=\n",
          // A language of its own needs a table of every text.
          format + url + "public_key=\nlanguage=fr\n",
          format + url + "public_key=\ntext.done=FERTIG\n",
          // A health check's tries and report go with a way of checking.
          format + url + "public_key=\nhealth=watch=3\n",
          format + url + "public_key=\nhealth=confirm\nhealth_tries=6\n",
          format + url + "public_key=\nhealth=confirm\nhealth_report=yes\n",
          format + url + "public_key=\nhealth_tries=2\n"}) {
        const auto parsed = parse_launcher_config(damaged);
        EXPECT_FALSE(parsed.config) << damaged;
        EXPECT_FALSE(parsed.fault.empty()) << damaged;
    }
    // The final line break is optional.
    EXPECT_TRUE(parse_launcher_config(format + url + "public_key=").config);
}

TEST(LauncherConfig, TextsComeFromTheOwnTableElseTheLanguageElseEstonian) {
    launcher_config config{"http://h/d/", ""};
    EXPECT_EQ(launcher_texts(config)[text_id::done], "VALMIS");
    config.language = "en";
    EXPECT_EQ(launcher_texts(config)[text_id::done], "DONE");
    config.texts = own_texts();
    EXPECT_EQ(launcher_texts(config)[text_id::patching_file], "[Uuendan: %s]");
    EXPECT_EQ(launcher_texts(config)[text_id::done], "C:\\uus\\nimi\nrida");
    // A record without the new lines is the record it always was.
    EXPECT_EQ(format_launcher_config({"http://h/d/", ""}),
              "quillomark-config 1\nbase_url=http://h/d/\npublic_key=\n");
}

TEST(LauncherConfig, TextLinesThatAreNotUtf8MakeTheRecordDamaged) {
    // The launcher converts its texts to UTF-16 to show them (the setup's failure, the
    // removal's question): a record whose texts do not convert is damaged, as the
    // publisher's --texts would have refused them.
    launcher_config config{"http://h/d/", ""};
    config.texts = own_texts();
    const std::string record = format_launcher_config(config);
    ASSERT_TRUE(parse_launcher_config(record).config);
    const std::string line = "text.done=";
    const std::size_t value = record.find("\n" + line) + 1 + line.size();
    ASSERT_NE(value, std::string::npos);
    for (const std::string& wrong :
         {std::string("\xff"), std::string("Gata\xC3"), std::string("\xC0\xAF"),
          std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"), std::string("a\x80z")}) {
        std::string damaged = record;
        damaged.insert(value, wrong);
        const auto parsed = parse_launcher_config(damaged);
        EXPECT_FALSE(parsed.config) << wrong;
        EXPECT_NE(parsed.fault.find("text.done"), std::string::npos) << parsed.fault;
        EXPECT_NE(parsed.fault.find("UTF-8"), std::string::npos) << parsed.fault;
    }
}
