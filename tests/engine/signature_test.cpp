#include "signature.h"

#include <gtest/gtest.h>
#include <sodium.h>

namespace {

struct key_pair {
    public_key key{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret{};
};

key_pair seeded_key_pair(unsigned char seed_byte) {
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed;
    seed.fill(seed_byte);
    key_pair pair;
    crypto_sign_seed_keypair(pair.key.data(), pair.secret.data(), seed.data());
    return pair;
}

std::string signed_by(const key_pair& pair, const std::string& bytes) {
    std::string signature(signature_size, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                         pair.secret.data());
    return signature;
}

} // namespace

TEST(Signature, OnlyTheKeysSignatureOfTheExactBytesMatches) {
    const key_pair publisher = seeded_key_pair(1);
    const key_pair other = seeded_key_pair(2);
    const std::string record = "version=2$startapp=app.exe$expires=2030-01-01T00:00:00Z";
    const std::string signature = signed_by(publisher, record);

    EXPECT_TRUE(signature_matches(publisher.key, record, signature));
    EXPECT_TRUE(signature_matches(publisher.key, "", signed_by(publisher, "")));

    std::string changed_record = record;
    changed_record[8] = '3';
    EXPECT_FALSE(signature_matches(publisher.key, changed_record, signature));
    EXPECT_FALSE(signature_matches(publisher.key, record + "\n", signature));
    std::string changed_signature = signature;
    changed_signature[10] = static_cast<char>(changed_signature[10] ^ 1);
    EXPECT_FALSE(signature_matches(publisher.key, record, changed_signature));
    EXPECT_FALSE(signature_matches(publisher.key, record, signature.substr(0, 63)));
    EXPECT_FALSE(signature_matches(publisher.key, record, signature + '\0'));
    EXPECT_FALSE(signature_matches(publisher.key, record, ""));
    EXPECT_FALSE(signature_matches(publisher.key, record, signed_by(other, record)));
    EXPECT_FALSE(signature_matches(other.key, record, signature));
}

TEST(Signature, KeysAreSixtyFourLowerCaseHexDigits) {
    const key_pair publisher = seeded_key_pair(7);
    const std::string hex = public_key_hex(publisher.key);
    EXPECT_EQ(hex.size(), 64u);
    EXPECT_EQ(parse_public_key(hex), publisher.key);
    EXPECT_EQ(public_key_hex(*parse_public_key(std::string(64, 'f'))), std::string(64, 'f'));

    std::string upper = hex;
    upper[0] = 'A';
    std::string spaced = hex;
    spaced[0] = ' ';
    for (const std::string& bad :
         {std::string(), hex.substr(1), hex + "0", upper, std::string(64, 'g'), spaced})
        EXPECT_FALSE(parse_public_key(bad)) << bad;
}

TEST(Signature, UtcTimesReadAndWriteInOneForm) {
    EXPECT_EQ(parse_utc_time("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parse_utc_time("2000-02-29T12:34:56Z"), 951827696);
    EXPECT_EQ(parse_utc_time("2038-01-19T03:14:08Z"), 2147483648LL);
    EXPECT_EQ(parse_utc_time("2100-03-01T00:00:00Z"), 4107542400LL);
    for (const std::int64_t seconds : {0LL, 951827696LL, 2147483648LL, 4107542400LL - 1})
        EXPECT_EQ(parse_utc_time(format_utc_time(seconds)), seconds);
    EXPECT_EQ(format_utc_time(4107542400LL - 1), "2100-02-28T23:59:59Z");

    for (const char* bad : {"",
                            "2030-01-01",
                            "2030-01-01T00:00:00",
                            "2030-01-01 00:00:00Z",
                            "2030-1-01T00:00:00Z",
                            "2030-01-01T00:00:00z",
                            "2030-01-01T00:00:00Z ",
                            "2100-02-29T00:00:00Z",
                            "2023-02-29T00:00:00Z",
                            "2030-13-01T00:00:00Z",
                            "2030-00-10T00:00:00Z",
                            "2030-04-31T00:00:00Z",
                            "2030-01-01T24:00:00Z",
                            "2030-01-01T00:60:00Z",
                            "2030-01-01T00:00:60Z",
                            "+030-01-01T00:00:00Z",
                            "2000-03-00T01:00:00Z",
                            "0000-00-00T00:00:00Z",
                            "2030-01-32T00:00:00Z",
                            "2030-06-31T00:00:00Z",
                            "9999-99-99T99:99:99Z"})
        EXPECT_FALSE(parse_utc_time(bad)) << bad;
    EXPECT_TRUE(parse_utc_time("2024-02-29T23:59:59Z"));
    EXPECT_TRUE(parse_utc_time("2000-02-29T00:00:00Z"));
    EXPECT_TRUE(parse_utc_time("9999-12-31T23:59:59Z"));
    EXPECT_TRUE(parse_utc_time("0000-01-01T00:00:00Z"));
}

TEST(Signature, ARecordIsValidOnlyBeforeItsExpiry) {
    const std::int64_t now = *parse_utc_time("2030-06-01T12:00:00Z");
    EXPECT_EQ(check_expiry("2030-06-01T12:00:01Z", now), expiry_check::valid);
    EXPECT_EQ(check_expiry("2030-06-01T12:00:00Z", now), expiry_check::expired);
    EXPECT_EQ(check_expiry("2020-01-01T00:00:00Z", now), expiry_check::expired);
    EXPECT_EQ(check_expiry("", now), expiry_check::missing);
    EXPECT_EQ(check_expiry("next year", now), expiry_check::malformed);
}

TEST(Signature, TheMasterRecordSignsEverythingBeforeItsLastPiece) {
    const key_pair publisher = seeded_key_pair(3);
    const std::string record = "version=2$startapp=app.exe$expires=2030-01-01T00:00:00Z";
    const std::string signature = signed_by(publisher, record);
    const std::string piece = master_signature_piece(signature);
    ASSERT_EQ(piece.size(), 5u + 128u);
    EXPECT_EQ(piece.substr(0, 5), "$sig=");

    const std::string signed_record = record + piece;
    const auto split = split_master_signature(signed_record);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->signed_bytes, record);
    EXPECT_TRUE(signature_matches(publisher.key, split->signed_bytes, split->signature));

    std::string upper = record + piece;
    upper.back() = 'A';
    for (const std::string& unsigned_record :
         {record, record + piece + "$startapp=evil.exe", record + piece + "\n",
          record + piece.substr(0, piece.size() - 2), upper, piece.substr(1),
          record + "$SIG=" + piece.substr(5)})
        EXPECT_FALSE(split_master_signature(unsigned_record)) << unsigned_record;
    // The empty record before the piece is a record like any other.
    EXPECT_EQ(split_master_signature(piece)->signed_bytes, "");
}

TEST(Signature, KeyRingsHoldOneToFourDistinctKeys) {
    const std::string a = public_key_hex(seeded_key_pair(1).key);
    const std::string b = public_key_hex(seeded_key_pair(2).key);
    EXPECT_EQ(key_ring_text(*parse_key_ring(a)), a);
    EXPECT_EQ(key_ring_text(*parse_key_ring(a + "," + b)), a + "," + b);
    EXPECT_EQ(key_ids(*parse_key_ring(a + "," + b)), a.substr(0, 16) + ", " + b.substr(0, 16));
    const std::string four = a + "," + b + "," + public_key_hex(seeded_key_pair(3).key) + "," +
                             public_key_hex(seeded_key_pair(4).key);
    EXPECT_EQ(parse_key_ring(four)->size(), 4u);
    for (const std::string& bad : {std::string(), a + ",", "," + a, a + "," + a, a + ", " + b,
                                   four + "," + public_key_hex(seeded_key_pair(5).key)})
        EXPECT_FALSE(parse_key_ring(bad)) << bad;
}

// A record signed by two keys as a chain. Launchers that hold one key take the last
// piece, which signs every byte before it; launchers with more keys take any piece.
TEST(Signature, AChainOfSignaturePiecesPassesTheOneKeyRuleAndAnyHeldKey) {
    const key_pair first = seeded_key_pair(1);
    const key_pair second = seeded_key_pair(2);
    const key_pair stranger = seeded_key_pair(3);
    const std::string body = "version=2$expires=2030-01-01T00:00:00Z$keys=a,b";
    const std::string inner = body + master_signature_piece(1, signed_by(second, body));
    const std::string record = inner + master_signature_piece(signed_by(first, inner));

    const auto last = split_master_signature(record);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->signed_bytes, inner);
    EXPECT_TRUE(signature_matches(first.key, last->signed_bytes, last->signature));
    const auto chain = master_signature_chain(record);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[1].signed_bytes, body);
    EXPECT_TRUE(master_signed_by_any({second.key}, record));
    EXPECT_TRUE(master_signed_by_any({stranger.key, first.key}, record));
    EXPECT_FALSE(master_signed_by_any({stranger.key}, record));
    // The outer signature wrong: the inner one still holds for its key alone.
    std::string outer_changed = record;
    outer_changed[outer_changed.size() - 1] = outer_changed.back() == '0' ? '1' : '0';
    EXPECT_TRUE(master_signed_by_any({second.key}, outer_changed));
    EXPECT_FALSE(master_signed_by_any({first.key}, outer_changed));
    // A piece of the chain out of its place ends the chain.
    const std::string misplaced = body + master_signature_piece(2, signed_by(second, body)) +
                                  master_signature_piece(signed_by(first, inner));
    EXPECT_EQ(master_signature_chain(misplaced).size(), 1u);
    EXPECT_FALSE(master_signed_by_any({second.key}, misplaced));
}

TEST(Signature, SignatureListsNameEachKeyThatSigned) {
    const key_pair first = seeded_key_pair(1);
    const key_pair second = seeded_key_pair(2);
    const std::string bytes = "the record";
    const std::vector<keyed_signature> both{{first.key, signed_by(first, bytes)},
                                            {second.key, signed_by(second, bytes)}};
    const std::string text = signature_list_text(both);
    const auto parsed = parse_signature_list(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(signature_list_text(*parsed), text);
    EXPECT_TRUE(signature_list_matches({second.key}, bytes, *parsed));
    EXPECT_FALSE(signature_list_matches({seeded_key_pair(3).key}, bytes, *parsed));
    EXPECT_FALSE(signature_list_matches({second.key}, bytes + ".", *parsed));
    // A line of another key with this key's signature proves nothing for this key.
    const std::vector<keyed_signature> swapped{{first.key, signed_by(second, bytes)}};
    EXPECT_FALSE(signature_list_matches({second.key}, bytes, swapped));

    std::string upper = text;
    const std::size_t letter = upper.find_first_of("abcdef");
    upper[letter] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[letter])));
    const std::string line = text.substr(0, text.size() / 2);
    for (const std::string& bad : {std::string(), text.substr(0, text.size() - 1), text + "\n",
                                   upper, line + line + line + line + line})
        EXPECT_FALSE(parse_signature_list(bad)) << bad;
}
