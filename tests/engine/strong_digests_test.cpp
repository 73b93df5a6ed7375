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
