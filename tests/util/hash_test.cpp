#include <gtest/gtest.h>

#include <string>

#include "util/hash.h"

namespace {

std::string hex(const zd::Hash32& h) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : h) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// Official BLAKE3 vectors: input i % 251 for i in 0..len (from the reference
// implementation shipped beside the C sources). Lengths cross chunk (1 KiB)
// boundaries and reach sizes where the SIMD paths hash many chunks at once.
struct Vector {
    size_t len;
    const char* hash;
};
const Vector kVectors[] = {
    {0, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
    {1, "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213"},
    {1023, "10108970eeda3eb932baac1428c7a2163b0e924c9a9e25b35bba72b28f70bd11"},
    {1024, "42214739f095a406f3fc83deb889744ac00df831c10daa55189b5d121c855af7"},
    {1025, "d00278ae47eb27b34faecf67b4fe263f82d5412916c1ffd97c8cb7fb814b8444"},
    {2048, "e776b6028c7cd22a4d0ba182a8bf62205d2ef576467e838ed6f2529b85fba24a"},
    {3073, "7124b49501012f81cc7f11ca069ec9226cecb8a2c850cfe644e327d22d3e1cd3"},
    {4097, "9b4052b38f1c5fc8b1f9ff7ac7b27cd242487b3d890d15c96a1c25b8aa0fb995"},
    {8193, "bab6c09cb8ce8cf459261398d2e7aef35700bf488116ceb94a36d0f5f1b7bc3b"},
    {16384, "f875d6646de28985646f34ee13be9a576fd515f76b5b0a26bb324735041ddde4"},
    {31744, "62b6960e1a44bcc1eb1a611a8d6235b6b4b78f32e7abc4fb4c6cdcce94895c47"},
    {102400, "bc3e3d41a1146b069abffad3c0d44860cf664390afce4d9661f7902e7943e085"},
};

zd::Bytes pattern(size_t len) {
    zd::Bytes b(len);
    for (size_t i = 0; i < len; ++i) b[i] = uint8_t(i % 251);
    return b;
}

TEST(Blake3, OneShotMatchesOfficialVectors) {
    for (const auto& v : kVectors) {
        EXPECT_EQ(hex(zd::blake3_256(pattern(v.len))), v.hash) << "len " << v.len;
    }
}

TEST(Blake3, IncrementalInOddPiecesMatchesOneShot) {
    for (const auto& v : kVectors) {
        zd::Bytes data = pattern(v.len);
        zd::Blake3 h;
        size_t pos = 0, step = 1;
        while (pos < data.size()) {
            size_t n = std::min(step, data.size() - pos);
            h.update(zd::ByteView(data.data() + pos, n));
            pos += n;
            step = step * 3 + 1;
        }
        EXPECT_EQ(hex(h.finalize()), v.hash) << "len " << v.len;
    }
}

TEST(Blake3, SixteenBytePrefixAndText) {
    zd::Hash16 h = zd::blake3_16(std::string_view("foo"));
    zd::Hash32 full = zd::blake3_256(zd::ByteView(reinterpret_cast<const uint8_t*>("foo"), 3));
    EXPECT_EQ(hex(full), "04e0bb39f30b1a3feb89f536c93be15055482df748674b00d26e5a75777702e9");
    EXPECT_TRUE(std::equal(h.begin(), h.end(), full.begin()));
}

}  // namespace
