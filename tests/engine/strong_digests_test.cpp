#include "strong_digests.h"

#include "hex_text.h"

#include <gtest/gtest.h>

namespace {

const std::string header = "quillomark sha256 1\n";
const std::string digest_hex = hex_of(sha256_of_bytes("app"));

} // namespace

TEST(StrongDigests, ARecordReadsBackAsWrittenAndFindsEachNameByKind) {
    const std::string text = header + "file " + digest_hex + " app.exe\n" + "file " + digest_hex +
                             " data\\väike fail.bin\n" + "served " + digest_hex + " app.exe\n";
    const auto record = parse_strong_digests(text);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->text(), text);
    EXPECT_EQ(*record->find(strong_digest_record::kind::file, "data\\väike fail.bin"),
              sha256_of_bytes("app"));
    EXPECT_TRUE(record->find(strong_digest_record::kind::served, "app.exe"));
    EXPECT_FALSE(record->find(strong_digest_record::kind::served, "data\\väike fail.bin"));
    EXPECT_FALSE(record->find(strong_digest_record::kind::file, "APP.EXE"));
    EXPECT_TRUE(parse_strong_digests(header));
}

TEST(StrongDigests, AnyOtherTextIsRefused) {
    const std::string line = "file " + digest_hex + " app.exe\n";
    std::string upper = digest_hex;
    upper[0] = 'A';
    for (const std::string& bad : {
             std::string(),
             "quillomark sha256 2\n" + line,
             header + line.substr(0, line.size() - 1),
             header + line + line,
             header + "patch " + digest_hex + " app.exe\n",
             header + "file " + digest_hex.substr(1) + " app.exe\n",
             header + "file " + upper + " app.exe\n",
             header + "file " + digest_hex + " \n",
             header + "file " + digest_hex + " app\r.exe\n",
             header + "file  " + digest_hex + " app.exe\n",
         })
        EXPECT_FALSE(parse_strong_digests(bad)) << bad;
}

// Launchers that read every line as a file or served line must go on taking a
// record that names its product and version: those lines keep that form.
TEST(StrongDigests, AProductAndVersionReadBackAndStayFileLines) {
    strong_digest_record record;
    record.bind_product("Õunaraamat");
    record.bind_version("3 5");
    record.add(strong_digest_record::kind::file, "app.exe", sha256_of_bytes("app"));
    const std::string text = record.text();
    EXPECT_EQ(text, header + "file " + hex_of(sha256_of_bytes("Õunaraamat")) +
                        " *product Õunaraamat\n" + "file " + hex_of(sha256_of_bytes("3 5")) +
                        " *version 3 5\n" + "file " + digest_hex + " app.exe\n");
    const auto again = parse_strong_digests(text);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->product(), "Õunaraamat");
    EXPECT_EQ(again->version(), "3 5");
    EXPECT_FALSE(parse_strong_digests(header + "file " + digest_hex + " app.exe\n")->product());

    const std::string version_line = "file " + hex_of(sha256_of_bytes("5")) + " *version 5\n";
    for (const std::string& bad : {
             header + version_line + version_line,
             header + "file " + digest_hex + " *version 5\n",
             header + "file " + hex_of(sha256_of_bytes("")) + " *version \n",
             header + "file " + hex_of(sha256_of_bytes("5")) + " *release 5\n",
         })
        EXPECT_FALSE(parse_strong_digests(bad)) << bad;
}
