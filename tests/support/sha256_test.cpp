#include "hex_text.h"
#include "sha256.h"
#include "sha256_blocks.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <random>
#include <string>

namespace {

std::string random_bytes(std::mt19937& random, std::size_t length) {
    std::string bytes(length, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

} // namespace

TEST(Sha256, AgreesWithFipsVectorsAndLibsodiumWithEitherBlockFunction) {
    EXPECT_EQ(hex_of(sha256_of_bytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_of(sha256_of_bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_of(sha256_of_bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex_of(sha256_of_bytes("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                                     "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    const std::string million(1000000, 'a');
    sha256_hasher in_pieces;
    for (std::size_t at = 0, step = 1; at < million.size(); at += step, step = step % 301 + 13)
        in_pieces.update(million.data() + at, std::min(step, million.size() - at));
    EXPECT_EQ(hex_of(in_pieces.finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    std::mt19937 random(256);
    for (int round = 0; round < 300; ++round) {
        const std::string message = random_bytes(random, random() % 3001);
        sha256_hasher hasher;
        for (std::size_t at = 0; at < message.size();) {
            const std::size_t piece = std::min<std::size_t>(random() % 200, message.size() - at);
            hasher.update(message.data() + at, piece);
            at += piece;
        }
        sha256_digest expected;
        crypto_hash_sha256(expected.data(), reinterpret_cast<const unsigned char*>(message.data()),
                           message.size());
        ASSERT_EQ(hex_of(hasher.finish()), hex_of(expected)) << message.size() << " bytes";

        // The hasher above ran on the chosen compression; the portable one must
        // leave any state exactly as it does over the same blocks.
        std::uint32_t chosen[8];
        for (std::uint32_t& word : chosen)
            word = random();
        std::uint32_t portable[8];
        std::copy(chosen, chosen + 8, portable);
        const auto* blocks = reinterpret_cast<const unsigned char*>(message.data());
        sha256_blocks_chosen()(chosen, blocks, message.size() / 64);
        sha256_blocks_portable(portable, blocks, message.size() / 64);
        ASSERT_TRUE(std::equal(chosen, chosen + 8, portable)) << message.size() << " bytes";
    }
}
