// Reading a serialised index: the cursor, every refusal with its message, the
// cross-list checks, and the older forms selected by the version flags.

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "format/index.h"
#include "util/error.h"
#include "util/hash.h"

namespace zd::format {
namespace {

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes rep(uint8_t b, size_t n) { return Bytes(n, b); }
Bytes var(uint64_t v) {
    Bytes b;
    put_var(b, v);
    return b;
}
Hash16 hash_of(uint8_t b) {
    Hash16 h;
    h.fill(b);
    return h;
}

// The message leer_v fails with, or "" when it succeeds.
std::string error_of(ByteView data, IndexFlags flags = {}) {
    try {
        leer_v(data, flags);
        return "";
    } catch (const Error& e) {
        return e.message();
    }
}

FileRec empty_file(std::string path) {
    FileRec f;
    f.path = std::move(path);
    f.mode = 0100644;
    f.hash = blake3_16(ByteView{});
    return f;
}

// One empty file "a" and nothing else: 35 bytes. Field offsets below.
Bytes single_file() {
    Index idx;
    idx.files.push_back(empty_file("a"));
    return escribir(idx);
}
enum : size_t {
    kFileCount = 0,
    kPathLen = 1,
    kPath = 2,
    kSize = 3,
    kChunkList = 4,
    kHash = 5,
    kKind = 21,
    kLinkMark = 26,
    kHardMark = 30,
    kChunks = 32,
    kFrames = 33,
    kEnd = 35,
};

TEST(IndexCursor, CountsAndStringsAreBoundedByWhatIsLeft) {
    const struct {
        const char* name;
        Bytes data;
        int op;  // 0 cuenta, 1 texto, 2 bytes, 3 byte, 4 hash16
        const char* error;
    } cases[] = {
        {"count equal to what is left", {0x03, 1, 2, 3}, 0, nullptr},
        {"count above what is left", {0x04, 1, 2, 3}, 0,
         "índice corrupto: cuenta 4 mayor que los bytes restantes"},
        {"huge count", cat({rep(0xff, 9), {0x01}}), 0,
         "índice corrupto: cuenta 18446744073709551615 mayor que los bytes restantes"},
        {"text", {0x03, 'a', 0xc3, 0xb1}, 1, nullptr},
        {"text too long", {0x05, 'a', 'b'}, 1,
         "índice corrupto: longitud 5 mayor que los bytes restantes"},
        {"text not UTF-8", {0x03, 'a', 0xc3, 'b'}, 1,
         "índice corrupto: texto UTF-8 inválido en el byte 1 de 3"},
        {"bytes", {0x02, 0xff, 0x00}, 2, nullptr},
        {"bytes too long", {0x02, 0xff}, 2,
         "índice corrupto: longitud 2 mayor que los bytes restantes"},
        {"raw byte at the end", {}, 3, "índice truncado"},
        {"hash with 15 bytes left", rep(0, 15), 4, "índice truncado en un hash"},
        {"hash", rep(0, 16), 4, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lec lec(c.data);
        try {
            switch (c.op) {
            case 0: EXPECT_EQ(lec.cuenta(), c.data.size() - 1); break;
            case 1: EXPECT_EQ(lec.texto(), std::string(c.data.begin() + 1, c.data.end())); break;
            case 2: EXPECT_EQ(lec.bytes(), Bytes(c.data.begin() + 1, c.data.end())); break;
            case 3: lec.byte(); break;
            case 4: lec.hash16(); break;
            }
            EXPECT_EQ(c.error, nullptr) << "no error";
            if (c.op != 0) {
                EXPECT_EQ(lec.left(), 0u);
            }
        } catch (const Error& e) {
            ASSERT_NE(c.error, nullptr) << e.message();
            EXPECT_EQ(e.message(), c.error);
        }
    }
}

TEST(IndexReader, RefusesDamagedFileRecords) {
    const Bytes u32_wrap = var(uint64_t(1) << 32);  // 0 as 32 bits
    const struct {
        const char* name;
        size_t at, erase;
        Bytes insert;
        const char* error;
    } cases[] = {
        {"file count above bytes left", kFileCount, 1, {35},
         "índice corrupto: cuenta 35 mayor que los bytes restantes"},
        {"path longer than the rest", kPathLen, 1, {34},
         "índice corrupto: longitud 34 mayor que los bytes restantes"},
        {"path not UTF-8", kPath, 1, {0xff}, "índice corrupto: texto UTF-8 inválido en el byte 0 de 1"},
        {"size of 11 bytes", kSize, 1, cat({rep(0xff, 9), {0x81, 0x00}}),
         "varint desbordado en el índice"},
        {"chunk id below 0", kChunkList, 1, {0x01, 0x01}, "índice corrupto: id de chunk negativo"},
        {"chunk id back below 0", kChunkList, 1, {0x02, 0x04, 0x05},
         "índice corrupto: id de chunk negativo"},
        {"chunk id with no chunks", kChunkList, 1, {0x01, 0x00},
         "índice incoherente: a apunta al chunk 0 de 0"},
        {"transform kind 6", kKind, 1, {6},
         "transformada desconocida (6): ¿archivo de una versión posterior?"},
        {"transform kind 255", kKind, 1, {255},
         "transformada desconocida (255): ¿archivo de una versión posterior?"},
        {"shared transform of itself", kKind, 1, {7, 0},
         "índice corrupto: transformada compartida apunta al fichero 0, que aún no existe"},
        {"symlink mark 2", kLinkMark, 1, {2}, "marca de symlink inválida (2)"},
        {"hard-link mark 2", kHardMark, 1, {2}, "marca de enlace duro inválida (2)"},
        {"hard link on the first file", kHardMark, 1, {1, 0},
         "índice corrupto: enlace duro al fichero 0, que aún no existe"},
        {"hard link taken as 32 bits", kHardMark, 1, cat({{1}, u32_wrap}),
         "índice corrupto: enlace duro al fichero 0, que aún no existe"},
        {"cut inside the hash", 10, kEnd - 10, {}, "índice truncado en un hash"},
        {"cut before the kind byte", kKind, kEnd - kKind, {}, "índice truncado"},
        {"cut before the size", kSize, kEnd - kSize, {}, "índice truncado"},
        {"cut before the level", kEnd - 1, 1, {}, "índice truncado"},
        {"nothing at all", 0, kEnd, {}, "índice truncado"},
    };
    const Bytes good = single_file();
    ASSERT_EQ(good.size(), size_t(kEnd));
    ASSERT_EQ(error_of(good), "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = good;
        bad.erase(bad.begin() + c.at, bad.begin() + c.at + c.erase);
        bad.insert(bad.begin() + c.at, c.insert.begin(), c.insert.end());
        EXPECT_EQ(error_of(bad), c.error);
    }
}

TEST(IndexReader, RefusesDamagedChunkAndFrameSections) {
    const Bytes chunk_tail = cat({{0x00, 0x00}, rep(0, 16)});  // offset, len, hash
    const struct {
        const char* name;
        size_t at;
        Bytes sections;  // replaces the chunk and frame counts
        const char* error;
    } cases[] = {
        {"frame id 2^32 - 1", kChunks, cat({{1}, var(zigzag(int64_t(std::numeric_limits<uint32_t>::max()))),
                                            chunk_tail, {0}, {0x26}}),
         "índice incoherente: chunk apunta al frame 4294967295 de 0"},
        {"frame id 2^32", kChunks, cat({{1}, var(zigzag(int64_t(1) << 32)), chunk_tail, {0}, {0x26}}),
         "índice corrupto: id de frame fuera de rango"},
        {"frame id below 0", kChunks, cat({{1}, {0x01}, chunk_tail, {0}, {0x26}}),
         "índice corrupto: id de frame fuera de rango"},
        {"frame offset wraps", kFrames,
         cat({{2}, var(std::numeric_limits<uint64_t>::max()), {0, 0, 0, 0}, {1, 0, 0, 0, 0}, {0x26}}),
         "índice corrupto: offset desbordado"},
        {"frame count above bytes left", kFrames, {0x03, 0x00, 0x26},
         "índice corrupto: cuenta 3 mayor que los bytes restantes"},
        {"chunk without its hash", kChunks, {0x01, 0x00, 0x00, 0x00, 0x00, 0x26},
         "índice truncado en un hash"},
    };
    const Bytes good = single_file();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad(good.begin(), good.begin() + c.at);
        bad.insert(bad.end(), c.sections.begin(), c.sections.end());
        EXPECT_EQ(error_of(bad), c.error);
    }
}

TEST(IndexReader, ChecksChunksAgainstFramesAndFilesAgainstChunks) {
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    const struct {
        const char* name;
        uint32_t frame, offset, len;
        uint64_t raw_len;
        uint64_t file_chunk;
        const char* error;
    } cases[] = {
        {"ends at the frame's end", 0, 10, 20, 30, 1, ""},
        {"one byte past the frame", 0, 10, 21, 30, 1,
         "índice incoherente: chunk se sale de su frame"},
        {"sum beyond 32 bits fits", 0, kMax, kMax, uint64_t(2) * kMax, 1, ""},
        {"sum beyond 32 bits does not fit", 0, kMax, kMax, uint64_t(2) * kMax - 1, 1,
         "índice incoherente: chunk se sale de su frame"},
        {"frame id equal to the count", 1, 0, 1, 30, 1,
         "índice incoherente: chunk apunta al frame 1 de 1"},
        {"file chunk id equal to the count", 0, 0, 1, 30, 2,
         "índice incoherente: dir/x apunta al chunk 2 de 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Index idx;
        idx.files.push_back(empty_file("dir/x"));
        idx.files[0].chunks = {0, c.file_chunk};
        idx.frames = {{40, 10, c.raw_len, kZstd, kText}};
        idx.chunks = {{hash_of(1), 0, 0, 1}, {hash_of(2), c.frame, c.offset, c.len}};
        EXPECT_EQ(error_of(escribir(idx)), c.error);
    }
}

TEST(IndexReader, RefusesDamagedHuecos) {
    const Bytes tail = {0x00, 0x00};  // correcciones, plano
    const Bytes ext_tail = {0x00, 0x00, 0x00, 0x00};  // + clase, interior mark
    const struct {
        const char* name;
        bool extended;
        Bytes data;
        const char* error;
    } cases[] = {
        {"last representable start", false, cat({{1}, var(0xffffffff), {0}, tail}), nullptr},
        {"start delta of 2^32", false, cat({{1}, var(uint64_t(1) << 32), {0}, tail}),
         "tramo fuera de rango"},
        {"length of 2^32", false, cat({{1, 0}, var(uint64_t(1) << 32), tail}),
         "tramo fuera de rango"},
        {"start past 2^32 - 1 as a running sum", false,
         cat({{2}, var(0xfffffff0), {0x20, 0x00, 0x00}, tail}), "tramo fuera de rango"},
        {"huge start delta", false, cat({{1}, var(std::numeric_limits<uint64_t>::max()), {0}, tail}),
         "tramo fuera de rango"},
        {"span count above bytes left", false, {0x09, 0x00, 0x00}, 
         "índice corrupto: cuenta 9 mayor que los bytes restantes"},
        {"plano of 2^32", false, cat({{0, 0}, var(uint64_t(1) << 32)}), "plano fuera de rango"},
        {"clase 2", true, {0x00, 0x00, 0x00, 0x02, 0x00}, nullptr},
        {"clase 3", true, {0x00, 0x00, 0x00, 0x03, 0x00},
         "clase de hueco desconocida (3): ¿archivo de una versión posterior?"},
        {"missing clase", true, {0x00, 0x00, 0x00}, "índice truncado"},
        {"interior cut short", true, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00}, "índice truncado"},
        {"basic form has no clase", false, ext_tail, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lec lec(c.data);
        try {
            lee_hueco(lec, c.extended);
            EXPECT_EQ(c.error, nullptr) << "no error";
        } catch (const Error& e) {
            ASSERT_NE(c.error, nullptr) << e.message();
            EXPECT_EQ(e.message(), c.error);
        }
    }
}

TEST(IndexReader, InteriorMarkOtherThanOneMeansNone) {
    for (uint8_t mark : {uint8_t(0), uint8_t(2), uint8_t(255)}) {
        const Bytes data = {0x00, 0x00, 0x07, 0x01, mark, 0xaa};
        Lec lec(data);
        const Hueco h = lee_hueco(lec, true);
        EXPECT_TRUE(h.interior.empty()) << int(mark);
        EXPECT_EQ(h.clase, 1);
        EXPECT_EQ(h.plano, 7u);
        EXPECT_EQ(lec.left(), 1u);  // the interior was not read
    }
}

// One file "a" with one chunk in one frame, in the form of archive `version`.
Bytes old_form(int version) {
    const bool hashes = version >= 13, owners = version >= 14, xattrs = version >= 16;
    Bytes b = cat({{0x01, 0x01, 'a', 0x05, 0x01, 0x00}, rep(0xab, 16),
                   {0x00, 0xa4, 0x83, 0x02, 0x00, 0x00}});
    if (owners) b = cat({b, {0xe8, 0x07, 0x64, 0x81, 0x10, 0x00}});  // uid 1000, gid 100, rdev 2049
    if (xattrs) b = cat({b, {0x01, 0x06, 'u', 's', 'e', 'r', '.', 'k', 0x01, 'v'}});
    b = cat({b, {0x01, 0x00, 0x00, 0x05}});
    if (hashes) b = cat({b, rep(0x11, 16)});
    return cat({b, {0x01, 0x28, 0x05, 0x05, 0x00, 0x02, 0x26}});
}

TEST(IndexReader, VersionFlagsSelectTheFieldsPresent) {
    for (int version = 12; version <= 16; ++version) {
        SCOPED_TRACE(version);
        const IndexFlags flags{version >= 13, version >= 14, version >= 16};
        Index expected;
        FileRec f;
        f.path = "a";
        f.size = 5;
        f.chunks = {0};
        f.hash = hash_of(0xab);
        f.mode = 0100644;
        if (flags.owners) {
            f.uid = 1000;
            f.gid = 100;
            f.rdev = 2049;
        }
        if (flags.xattrs) f.xattrs = {{"user.k", {'v'}}};
        expected.files.push_back(f);
        expected.chunks = {{flags.chunk_hashes ? hash_of(0x11) : Hash16{}, 0, 0, 5}};
        expected.frames = {{40, 5, 5, kStored, kOther}};

        EXPECT_EQ(leer_v(old_form(version), flags), expected);
        if (version == 16) {
            EXPECT_EQ(escribir(expected), old_form(16));
        }
    }
}

}  // namespace
}  // namespace zd::format
