// Serialised index: exact encodings, round trips, shared transforms, the size
// report, and that damaged input is always refused with zd::Error.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <random>
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
Hash16 hash_of(uint8_t b) {
    Hash16 h;
    h.fill(b);
    return h;
}

// Position right after the first occurrence of `needle`, or npos.
size_t after(const Bytes& hay, ByteView needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : size_t(it - hay.begin()) + needle.size();
}
size_t occurrences(const Bytes& hay, ByteView needle) {
    size_t n = 0;
    for (auto it = hay.begin();
         (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end(); ++it)
        ++n;
    return n;
}

class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

FileRec empty_file(std::string path) {
    FileRec f;
    f.path = std::move(path);
    f.mode = 0100644;
    f.hash = blake3_16(ByteView{});
    return f;
}

const Bytes kSingleFile = cat({
    {0x01, 0x01, 'a', 0x00, 0x00},
    {0xaf, 0x13, 0x49, 0xb9, 0xf5, 0xf9, 0xa1, 0xa6, 0xa0, 0x40, 0x4d, 0xea, 0x36, 0xdc, 0xc9, 0x49},
    {0x00, 0xA4, 0x83, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x26},
});

// An index that exercises every field, record kind and extreme value.
Index rich_index() {
    Index idx;
    idx.level = -7;

    FileRec f = empty_file("snap/dir/texto.txt");
    f.chunks = {0, 1, 2, 1, 0};
    f.size = 12345;
    f.hash = hash_of(0x5a);
    f.mtime = -1234567890;
    f.uid = 1000;
    f.gid = std::numeric_limits<uint32_t>::max();
    f.xattrs = {{"user.a", {1, 2, 3}}, {"user.vacío", {}}};
    idx.files.push_back(f);

    FileRec link = empty_file("snap/enlace");
    link.mode = 0120777;
    link.link_target = "dir/texto.txt";
    link.size = 13;
    idx.files.push_back(link);

    FileRec hard = empty_file("snap/duro");
    hard.hard_link = 0;
    hard.size = f.size;
    hard.hash = f.hash;
    idx.files.push_back(hard);

    FileRec dev = empty_file("snap/dev/sda");
    dev.mode = 060660;
    dev.rdev = std::numeric_limits<uint64_t>::max();
    dev.mtime = std::numeric_limits<int64_t>::min();
    idx.files.push_back(dev);

    const TransformKind plain[] = {TransformKind::Jxl, TransformKind::E8e9, TransformKind::LogTs};
    for (TransformKind k : plain) {
        FileRec t = empty_file("año/ü-" + std::to_string(int(k)));
        t.chunks = {3};
        t.transform = Transform{k, {}, {}};
        t.size = std::numeric_limits<uint64_t>::max();
        idx.files.push_back(t);
    }

    Transform basic{TransformKind::Deflate, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5}, {}};
    basic.huecos.push_back(Hueco{{{0, 10}, {10, 0}, {20, 5}}, {0xde, 0xad}, {}, 35, 0});
    basic.huecos.push_back(Hueco{{{std::numeric_limits<uint32_t>::max(), 0}}, {}, {}, 0, 0});
    FileRec png = empty_file("img.png");
    png.chunks = {2, 3};
    png.transform = basic;
    idx.files.push_back(png);

    Transform extended{TransformKind::Deflate, {1, 2, 3}, {}};
    Interior in{{4, 5, 6}, {Hueco{{{1, 2}}, {7}, {}, 9, 0}}};
    extended.huecos.push_back(Hueco{{{5, 6}}, {8, 9}, {in}, 40, 2});
    extended.huecos.push_back(Hueco{{}, {}, {}, std::numeric_limits<uint32_t>::max(), 1});
    FileRec zip = empty_file("a.zip");
    zip.transform = extended;
    idx.files.push_back(zip);
    zip.path = "b.zip";  // identical record: written as a reference
    idx.files.push_back(zip);

    idx.frames = {
        {40, 100, 200, kZstd, kText},
        {140, 50, 50, kStored, kMedia},
        {uint64_t(1) << 40, 7, uint64_t(1) << 33, kCm, kOther},
    };
    idx.chunks = {
        {hash_of(1), 0, 0, 150},
        {hash_of(2), 0, 150, 50},
        {hash_of(3), 2, std::numeric_limits<uint32_t>::max(), std::numeric_limits<uint32_t>::max()},
        {hash_of(4), 1, 0, 50},
    };
    return idx;
}

TEST(IndexNumbers, Leb128EncodesAndDecodes) {
    const struct {
        uint64_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {1, {0x01}},
        {127, {0x7f}},
        {128, {0x80, 0x01}},
        {300, {0xAC, 0x02}},
        {16384, {0x80, 0x80, 0x01}},
        {std::numeric_limits<uint32_t>::max(), {0xff, 0xff, 0xff, 0xff, 0x0f}},
        {uint64_t(1) << 63, cat({rep(0x80, 9), {0x01}})},
        {std::numeric_limits<uint64_t>::max(), cat({rep(0xff, 9), {0x01}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        Bytes out;
        put_var(out, c.value);
        EXPECT_EQ(out, c.bytes);
        Lec lec(c.bytes);
        EXPECT_EQ(lec.var(), c.value);
        EXPECT_EQ(lec.left(), 0u);
    }
}

TEST(IndexNumbers, Leb128TenthByteAndOverflow) {
    const struct {
        const char* name;
        Bytes bytes;
        uint64_t value;       // when no error
        const char* error;    // or the message
    } cases[] = {
        {"empty", {}, 0, "índice truncado"},
        {"cut after a continuation", {0x80}, 0, "índice truncado"},
        {"nine bytes, all continued", rep(0xff, 9), 0, "índice truncado"},
        {"tenth continued, last of the data", cat({rep(0xff, 9), {0x80}}), 0, "índice truncado"},
        {"tenth continued, more data", cat({rep(0xff, 9), {0x81, 0x00}}), 0,
         "varint desbordado en el índice"},
        {"tenth byte: only bit 0 counts", cat({rep(0x80, 9), {0x7e}}), 0, nullptr},
        {"tenth byte 0x03", cat({rep(0x80, 9), {0x03}}), uint64_t(1) << 63, nullptr},
        {"tenth byte 0x7f", cat({rep(0xff, 9), {0x7f}}), std::numeric_limits<uint64_t>::max(),
         nullptr},
        {"non-minimal zero", {0x80, 0x00}, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lec lec(c.bytes);
        if (c.error) {
            try {
                lec.var();
                ADD_FAILURE() << "no error";
            } catch (const Error& e) {
                EXPECT_EQ(e.message(), c.error);
            }
        } else {
            EXPECT_EQ(lec.var(), c.value);
        }
    }
}

TEST(IndexNumbers, Zigzag) {
    const std::pair<int64_t, uint64_t> cases[] = {
        {0, 0},
        {-1, 1},
        {1, 2},
        {-2, 3},
        {2, 4},
        {std::numeric_limits<int64_t>::max(), std::numeric_limits<uint64_t>::max() - 1},
        {std::numeric_limits<int64_t>::min(), std::numeric_limits<uint64_t>::max()},
    };
    for (auto [n, z] : cases) {
        EXPECT_EQ(zigzag(n), z) << n;
        EXPECT_EQ(unzigzag(z), n) << z;
    }
}

TEST(IndexEncoding, EmptyIndexIsFourBytes) {
    const Bytes expected = {0x00, 0x00, 0x00, 0x26};
    EXPECT_EQ(escribir(Index{}), expected);
    EXPECT_EQ(leer_v(expected, {}), Index{});
}

TEST(IndexEncoding, SingleEmptyFileIs35Bytes) {
    Index idx;
    idx.files.push_back(empty_file("a"));
    EXPECT_EQ(escribir(idx), kSingleFile);
    EXPECT_EQ(leer_v(kSingleFile, {}), idx);
}

TEST(IndexEncoding, ChunkListIsZigzagDeltas) {
    Index idx;
    idx.files.push_back(empty_file("a"));
    idx.files[0].chunks = {5, 3, 3};
    idx.frames = {{40, 6, 6, kStored, kOther}};
    for (uint32_t i = 0; i < 6; ++i) idx.chunks.push_back({{}, 0, i, 1});
    const Bytes out = escribir(idx);
    // count, path "a", size 0, then the list: 3 ids as +5, -2, 0.
    const Bytes head = {0x01, 0x01, 'a', 0x00, 0x03, 10, 3, 0};
    ASSERT_GE(out.size(), head.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + head.size()), head);
    EXPECT_EQ(leer_v(out, {}), idx);
}

TEST(IndexEncoding, ChunkAndFrameSectionsAreDeltaCoded) {
    Index idx;
    idx.level = -3;
    idx.chunks = {{hash_of(0x11), 1, 2, 3}, {hash_of(0x22), 0, 0, 5}};
    idx.frames = {{40, 10, 5, kZstd, kText}, {300, 20, 10, kCm, kOther}};
    const Bytes expected = cat({
        {0x00, 0x02},
        {0x02, 0x02, 0x03}, rep(0x11, 16),  // frame +1
        {0x01, 0x00, 0x05}, rep(0x22, 16),  // frame -1
        {0x02},
        {0x28, 0x0a, 0x05, 0x01, 0x00},
        {0x84, 0x02, 0x14, 0x0a, 0x02, 0x02},  // offset +260
        {0x05},                                // level -3
    });
    EXPECT_EQ(escribir(idx), expected);
    EXPECT_EQ(leer_v(expected, {}), idx);
}

TEST(IndexEncoding, RichIndexRoundTrips) {
    const Index idx = rich_index();
    const Bytes out = escribir(idx);
    const Index back = leer_v(out, {});
    EXPECT_EQ(back, idx);
    EXPECT_EQ(escribir(back), out);
}

TEST(IndexEncoding, TrailingBytesAreIgnored) {
    Bytes data = kSingleFile;
    data.insert(data.end(), {0xff, 0xff, 0x07});
    EXPECT_EQ(leer_v(data, {}).files.size(), 1u);
}

TEST(IndexEncoding, DeflateKindFollowsHuecoForm) {
    const struct {
        const char* name;
        Hueco hueco;
        uint8_t kind;
    } cases[] = {
        {"basic", Hueco{{{0, 4}}, {1}, {}, 4, 0}, 1},
        {"clase set", Hueco{{{0, 4}}, {1}, {}, 4, 1}, 5},
        {"interior", Hueco{{{0, 4}}, {1}, {Interior{{2}, {}}}, 4, 0}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Index idx;
        FileRec f = empty_file("x");
        f.hash = hash_of(0xcc);
        // A plain Hueco first: the form is chosen for the whole list.
        f.transform = Transform{TransformKind::Deflate, {0}, {Hueco{{}, {}, {}, 1, 0}, c.hueco}};
        idx.files.push_back(f);
        const Bytes out = escribir(idx);
        const size_t at = after(out, hash_of(0xcc));
        ASSERT_LT(at, out.size());
        EXPECT_EQ(out[at], c.kind);
        EXPECT_EQ(leer_v(out, {}), idx);
    }
}

TEST(IndexEncoding, HuecoBasicAndExtendedForms) {
    Hueco h{{{3, 4}, {10, 2}}, {'x', 'y'}, {}, 100, 0};
    Bytes basic;
    escribe_hueco(basic, h, false);
    EXPECT_EQ(basic, (Bytes{0x02, 0x03, 0x04, 0x03, 0x02, 0x02, 'x', 'y', 100}));
    Lec lb(basic);
    EXPECT_EQ(lee_hueco(lb, false), h);
    EXPECT_EQ(lb.left(), 0u);

    h.clase = 2;
    h.interior.push_back(Interior{{0xee}, {Hueco{{{1, 1}}, {}, {}, 2, 0}}});
    Bytes ext;
    escribe_hueco(ext, h, true);
    const Bytes tail = {0x02, 0x01, 0x01, 0xee, 0x01, 0x01, 0x01, 0x01, 0x00, 0x02};
    EXPECT_EQ(ext, cat({basic, tail}));
    Lec le(ext);
    EXPECT_EQ(lee_hueco(le, true), h);
    EXPECT_EQ(le.left(), 0u);
}

// A deflate record whose whole encoding (kind byte and payload) takes `n` bytes.
Transform record_of_size(size_t n, uint8_t fill) {
    // kind + esqueleto length + esqueleto + Hueco count
    return Transform{TransformKind::Deflate, rep(fill, n - 3), {}};
}

TEST(IndexSharing, OnlyEncodingsOf17BytesOrMoreAreShared) {
    const struct {
        size_t size;
        bool shared;
    } cases[] = {{16, false}, {17, true}, {40, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        Index idx;
        for (uint8_t i = 0; i < 3; ++i) {
            FileRec f = empty_file("f" + std::to_string(i));
            f.hash = hash_of(uint8_t(0xe0 + i));
            f.transform = record_of_size(c.size, 0x5e);
            idx.files.push_back(f);
        }
        const Bytes out = escribir(idx);
        const Bytes esqueleto = rep(0x5e, c.size - 3);
        EXPECT_EQ(occurrences(out, esqueleto), c.shared ? 1u : 3u);
        for (uint8_t i = 1; i < 3; ++i) {
            const size_t at = after(out, hash_of(uint8_t(0xe0 + i)));
            ASSERT_LT(at + 1, out.size());
            if (c.shared) {
                // Both later files point at the first holder, index 0.
                EXPECT_EQ(out[at], 7);
                EXPECT_EQ(out[at + 1], 0);
            } else {
                EXPECT_EQ(out[at], 1);
            }
        }
        EXPECT_EQ(leer_v(out, {}), idx);
    }
}

TEST(IndexSharing, DifferentRecordsAreNotShared) {
    Index idx;
    Transform a = record_of_size(20, 0x5e);
    a.huecos.push_back(Hueco{{}, {}, {}, 1, 0});
    Transform b = a;
    b.huecos[0].plano = 2;  // same esqueleto, other Hueco
    for (const Transform& t : {a, b}) {
        FileRec f = empty_file("f");
        f.transform = t;
        idx.files.push_back(f);
    }
    const Bytes out = escribir(idx);
    EXPECT_EQ(occurrences(out, rep(0x5e, 17)), 2u);
    EXPECT_EQ(leer_v(out, {}), idx);
}

TEST(IndexSharing, ReferenceCopiesWhateverTheEarlierFileHas) {
    // Hand-made kind 7 records: the writer never points at these, but a
    // reader copies the earlier file's transform, none included.
    const struct {
        const char* name;
        std::optional<Transform> first;
    } cases[] = {
        {"none", std::nullopt},
        {"jxl", Transform{TransformKind::Jxl, {}, {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Index idx;
        idx.files = {empty_file("a"), empty_file("b")};
        idx.files[0].transform = c.first;
        idx.files[1].hash = hash_of(0x77);
        Bytes data = escribir(idx);
        const size_t at = after(data, hash_of(0x77));
        data[at] = 7;
        data.insert(data.begin() + at + 1, 0x00);
        const Index back = leer_v(data, {});
        EXPECT_EQ(back.files[1].transform, c.first);
    }
}

struct ReportLine {
    const char* name;
    size_t bytes;
    const char* percent;
};

std::string report_line(const ReportLine& l) {
    std::string name = l.name, n = std::to_string(l.bytes);
    return "[indice]   " + name + std::string(24 - name.size(), ' ') + " " +
           std::string(12 - n.size(), ' ') + n + " B  " + l.percent + "%\n";
}

const char kReportNote[] =
    "[indice] (crudo: lo que cada parte METE en el compresor. El indice se\n"
    "[indice]  comprime de una pasada, asi que nadie tiene un tamaño propio.)\n";

TEST(IndexReport, PrintedWhenSetToAnyValidText) {
    Index idx;
    idx.files.push_back(empty_file("a"));
    std::string expected = std::string("[indice] 1 ficheros, 0 chunks, 0 frames — 35 B en CRUDO\n") +
                           kReportNote;
    for (const ReportLine& l : {ReportLine{"rutas", 3, "  8.6"},
                                ReportLine{"listas de chunk", 1, "  2.9"},
                                ReportLine{"huellas de fichero", 16, " 45.7"},
                                ReportLine{"modo+fecha+symlink", 5, " 14.3"},
                                ReportLine{"registros de chunk", 1, "  2.9"},
                                ReportLine{"registros de frame", 1, "  2.9"}})
        expected += report_line(l);

    const struct {
        const char* value;
        bool printed;
    } cases[] = {{nullptr, false}, {"", true}, {"0", true}, {"sí", true}, {"\xff", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        EnvGuard env("ZD_INDICE_DEBUG", c.value);
        testing::internal::CaptureStderr();
        EXPECT_EQ(escribir(idx), kSingleFile);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed ? expected : "");
    }
}

TEST(IndexReport, CountsDeflatePartsAndReferences) {
    Index idx;
    Transform t{TransformKind::Deflate, rep('S', 14), {Hueco{{{0, 5}}, {1, 2}, {}, 5, 0}}};
    for (const char* p : {"a", "b"}) {
        FileRec f = empty_file(p);
        f.transform = t;
        idx.files.push_back(f);
    }
    EnvGuard env("ZD_INDICE_DEBUG", "1");
    testing::internal::CaptureStderr();
    const Bytes out = escribir(idx);
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_NE(err.find("[indice] 2 ficheros, 0 chunks, 0 frames — " + std::to_string(out.size()) +
                       " B en CRUDO\n"),
              std::string::npos)
        << err;
    // Only the first holder's parts count; the reference took 07 00.
    const std::pair<const char*, size_t> parts[] = {
        {"ESQUELETOS", 15}, {"CORRECCIONES preflate", 3}, {"tramos de hueco", 2}};
    for (const auto& [name, bytes] : parts) {
        std::string line = report_line({name, bytes, ""});
        line.resize(line.size() - 2);  // drop the percentage
        EXPECT_NE(err.find(line), std::string::npos) << name << "\n" << err;
    }
    EXPECT_NE(err.find("[indice]   referencias (F2.65)                 2 B   (1 referencias que "
                       "ahorraron 22 B)\n"),
              std::string::npos)
        << err;
}

// Damaged input: every cut is refused, and no mutation may do anything but
// parse or throw zd::Error (no other exception, no crash, no huge allocation).
TEST(IndexRobustness, TruncationsAndMutationsOnlyEverThrowZdError) {
    const Bytes good = escribir(rich_index());
    const IndexFlags all_flags[] = {
        {true, true, true}, {true, true, false}, {true, false, false}, {false, false, false}};

    for (size_t n = 0; n < good.size(); ++n) {
        ByteView cut(good.data(), n);
        EXPECT_THROW(leer_v(cut, {}), Error) << "cut at " << n;
    }

    auto try_all = [&](const Bytes& data) {
        for (IndexFlags flags : all_flags) {
            try {
                leer_v(data, flags);
            } catch (const Error&) {
            } catch (const std::exception& e) {
                ADD_FAILURE() << "not a zd::Error: " << e.what();
            }
        }
    };

    for (size_t i = 0; i < good.size(); ++i) {
        for (uint8_t v : {uint8_t(0x00), uint8_t(0x01), uint8_t(0x7f), uint8_t(0x80), uint8_t(0xff),
                          uint8_t(good[i] ^ 0x01), uint8_t(good[i] ^ 0x80)}) {
            Bytes bad = good;
            bad[i] = v;
            try_all(bad);
        }
    }

    std::mt19937 rng(2024);
    for (int round = 0; round < 3000; ++round) {
        Bytes bad = good;
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % bad.size();
            switch (rng() % 3) {
            case 0: bad[at] = uint8_t(rng()); break;
            case 1: bad.erase(bad.begin() + at); break;
            default: bad.insert(bad.begin() + at, uint8_t(rng())); break;
            }
            if (bad.empty()) bad.push_back(0);
        }
        try_all(bad);
    }
}

}  // namespace
}  // namespace zd::format
