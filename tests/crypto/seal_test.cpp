#include "crypto/seal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "crypto/random.h"
#include "support.h"

namespace zd::crypto {
namespace {

using testing::bytes_of;
using testing::Chain;
using testing::error_chain;

const char kCannotOpen[] =
    "no se puede descifrar: la contraseña no es correcta, o el archivo ha sido modificado";

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Key key_from(uint8_t first) {
    Key k;
    for (size_t i = 0; i < k.size(); ++i) k[i] = uint8_t(first + i);
    return k;
}

Bytes concat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// RFC 8439, the AEAD_CHACHA20_POLY1305 example: sealing and opening through
// the same primitive calls that cifra and descifra make.
TEST(Seal, Rfc8439AeadVector) {
    const Key key = key_from(0x80);
    const Nonce nonce{0x07, 0x00, 0x00, 0x00, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47};
    const Bytes aad = from_hex("50515253c0c1c2c3c4c5c6c7");
    const Bytes plaintext = bytes_of(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.");
    const Bytes ciphertext = from_hex(
        "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d6"
        "3dbea45e8ca9671282fafb69da92728b1a71de0a9e060b2905d6a5b67ecd3b36"
        "92ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc"
        "3ff4def08e4b7a9de576d26586cec64b6116");
    const Bytes tag = from_hex("1ae10b594f09e26a7e902ecbd0600691");
    const Bytes expected = concat({nonce, ciphertext, tag});

    EXPECT_EQ(seal_with_nonce(key, nonce, aad, plaintext), expected);
    EXPECT_EQ(open_sealed(key, aad, expected), plaintext);
}

// A blob from cifra is exactly the primitive's output under the blob's own
// nonce with empty associated data, so it carries no hidden binding.
TEST(Seal, BlobIsNonceCiphertextTagWithEmptyAssociatedData) {
    const Key key = key_from(0x11);
    const Bytes plaintext = bytes_of("frame payload");
    const Bytes blob = cifra(key, plaintext);
    ASSERT_EQ(blob.size(), plaintext.size() + 28);
    Nonce nonce;
    std::copy_n(blob.begin(), nonce.size(), nonce.begin());
    EXPECT_EQ(seal_with_nonce(key, nonce, ByteView(), plaintext), blob);
    EXPECT_EQ(descifra(key, blob), plaintext);
}

TEST(Seal, EmptyPlaintextIsTwentyEightBytesAndOpensEmpty) {
    const Key key = key_from(0x20);
    const Bytes blob = cifra(key, ByteView());
    EXPECT_EQ(blob.size(), 28u);
    EXPECT_TRUE(descifra(key, blob).empty());
}

TEST(Seal, SamePlaintextTwiceGivesDifferentBlobs) {
    const Key key = key_from(0x30);
    const Bytes plaintext = bytes_of("the same bytes");
    const Bytes a = cifra(key, plaintext);
    const Bytes b = cifra(key, plaintext);
    EXPECT_FALSE(std::equal(a.begin(), a.begin() + 12, b.begin()));
    EXPECT_NE(a, b);
    EXPECT_EQ(descifra(key, a), plaintext);
    EXPECT_EQ(descifra(key, b), plaintext);
}

TEST(Seal, AnySingleBitFlipIsRejected) {
    const Key key = key_from(0x40);
    const Bytes blob = cifra(key, bytes_of("abc"));  // nonce 0..11, ciphertext 12..14, tag 15..30
    for (size_t bit = 0; bit < blob.size() * 8; ++bit) {
        Bytes bad = blob;
        bad[bit / 8] ^= uint8_t(1u << (bit % 8));
        EXPECT_EQ(error_chain([&] { descifra(key, bad); }), Chain{kCannotOpen}) << "bit " << bit;
    }
}

TEST(Seal, WrongKeyIsRejected) {
    const Bytes blob = cifra(key_from(0x50), bytes_of("secret index"));
    EXPECT_EQ(error_chain([&] { descifra(key_from(0x51), blob); }), Chain{kCannotOpen});
}

TEST(Seal, BlobShorterThanOverheadIsCorrupt) {
    const Key key = key_from(0x60);
    for (size_t len : {0, 1, 12, 27}) {
        const Bytes blob(len, 0);
        EXPECT_EQ(error_chain([&] { descifra(key, blob); }),
                  Chain{"bloque cifrado demasiado corto (" + std::to_string(len) +
                        " B): archivo corrupto"});
    }
    // Exactly the overhead is long enough; it then fails authentication.
    EXPECT_EQ(error_chain([&] { descifra(key, Bytes(28, 0)); }), Chain{kCannotOpen});
}

TEST(Random, DrawsTheAskedCountFreshEachTime) {
    EXPECT_TRUE(azar(0).empty());
    const Bytes a = azar(32);
    const Bytes b = azar(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace zd::crypto
