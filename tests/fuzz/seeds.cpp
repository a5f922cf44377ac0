// Writes the seed corpus of every fuzz target under the folder given as the
// only argument: serialised indexes of each version, small archives, frames
// of each codec, path/pattern pairs and varints. Made at run time from the
// project's own writers, so nothing generated is kept in the tree.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "format/container.h"
#include "format/index.h"
#include "util/bytes.h"
#include "util/hash.h"
#include "util/oneshot_zstd.h"

namespace {

using namespace zd;
using namespace zd::format;

void put(const std::string& dir, const std::string& name, ByteView data) {
    ::mkdir(dir.c_str(), 0755);
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes cat(ByteView a, ByteView b) {
    Bytes out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Every kind of record: content in two frames, a symlink, a hard link, a
// device, extended attributes, each transform, a shared deflate record with
// an extended Hueco and an interior.
Index sample_index() {
    Index idx;
    idx.level = 19;
    idx.frames = {{40, 100, 300, kZstd, kText}, {140, 64, 64, kStored, kOther}};
    idx.chunks = {{blake3_16("a"), 0, 0, 200}, {blake3_16("b"), 0, 200, 100}, {blake3_16("c"), 1, 0, 64}};
    FileRec f;
    f.path = "snap/docs/a.txt";
    f.chunks = {0, 1};
    f.size = 300;
    f.hash = blake3_16("a.txt");
    f.mode = 0100644;
    f.mtime = 1700000000;
    f.uid = 1000;
    f.gid = 1000;
    f.xattrs = {{"user.note", text("hola")}};
    idx.files.push_back(f);

    FileRec g = f;
    g.path = "snap/bin/tool";
    g.chunks = {2, 0};
    g.xattrs.clear();
    g.transform = Transform{TransformKind::E8e9, {}, {}};
    idx.files.push_back(g);

    Transform deflate{TransformKind::Deflate, Bytes(40, 0x5a), {}};
    Interior inner{text("interior"), {Hueco{{{1, 2}}, {7}, {}, 9, 0}}};
    deflate.huecos.push_back(Hueco{{{0, 10}, {12, 5}}, text("corrections"), {inner}, 35, 2});
    for (const char* name : {"snap/x.gz", "snap/y.gz"}) {
        FileRec d = f;
        d.path = name;
        d.chunks = {1};
        d.transform = deflate;
        idx.files.push_back(d);
    }
    FileRec l{};
    l.path = "snap/link";
    l.link_target = "docs/a.txt";
    l.size = 10;
    l.hash = blake3_16("docs/a.txt");
    l.mode = 0120777;
    idx.files.push_back(l);
    FileRec h = f;
    h.path = "snap/hard";
    h.chunks.clear();
    h.hard_link = 0;
    idx.files.push_back(h);
    FileRec dev{};
    dev.path = "snap/dev/null";
    dev.mode = 020666;
    dev.rdev = 0x103;
    idx.files.push_back(dev);
    for (TransformKind k : {TransformKind::Jxl, TransformKind::LogTs}) {
        FileRec t = f;
        t.path = k == TransformKind::Jxl ? "snap/p.jpg" : "snap/s.log";
        t.transform = Transform{k, {}, {}};
        idx.files.push_back(t);
    }
    return idx;
}

// A complete archive: header, the frames' stored bytes, index blob, footer.
Bytes archive_of(const Index& shape, const std::vector<Bytes>& raw, uint8_t codec) {
    Index idx = shape;
    Bytes out = cabecera({});
    idx.frames.clear();
    for (const Bytes& r : raw) {
        const Bytes stored = codec == kZstd ? comprime_zstd(r, 3) : r;
        idx.frames.push_back({out.size(), stored.size(), r.size(), codec, kText});
        out.insert(out.end(), stored.begin(), stored.end());
    }
    const Bytes serialised = escribir(idx);
    Bytes blob{1};
    const Bytes packed = comprime_zstd(serialised, 3);
    blob.insert(blob.end(), packed.begin(), packed.end());
    uint8_t footer[kFooterLen];
    put_u64le(footer, out.size());
    put_u64le(footer + 8, blob.size());
    put_u64le(footer + 16, serialised.size());
    const Hash32 h = blake3_256(serialised);
    std::copy(h.begin(), h.end(), footer + 24);
    std::copy(kMagic, kMagic + kMagicLen, footer + 56);
    out.insert(out.end(), blob.begin(), blob.end());
    out.insert(out.end(), footer, footer + kFooterLen);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    ::mkdir(root.c_str(), 0755);

    const Index idx = sample_index();
    const Bytes serialised = escribir(idx);
    const Bytes empty = escribir(Index{});
    for (uint8_t v = 0; v < 5; ++v) {
        put(root + "/leer_v", "sample-v" + std::to_string(12 + v), cat(Bytes{v}, serialised));
        put(root + "/leer_v", "empty-v" + std::to_string(12 + v), cat(Bytes{v}, empty));
    }

    // One file per frame, each chunk one whole frame.
    Index shape;
    FileRec f{};
    f.path = "a.txt";
    f.mode = 0100644;
    const std::vector<Bytes> raw = {text(std::string(3000, 'x') + "fin"), text("segundo frame")};
    for (size_t i = 0; i < raw.size(); ++i) {
        shape.chunks.push_back({blake3_16(raw[i]), uint32_t(i), 0, uint32_t(raw[i].size())});
        f.chunks = {i};
        f.size = raw[i].size();
        f.hash = blake3_16(raw[i]);
        shape.files.push_back(f);
        f.path = "dir/b.txt";
    }
    put(root + "/abrir", "zstd-frames", archive_of(shape, raw, kZstd));
    put(root + "/abrir", "stored-frames", archive_of(shape, raw, kStored));
    put(root + "/abrir", "empty", archive_of(Index{}, {}, kZstd));

    const Bytes plain = text("frame de prueba, frame de prueba, frame de prueba");
    const auto frame = [&](uint8_t codec, uint64_t raw_len, ByteView stored) {
        Bytes head{codec, uint8_t(raw_len), uint8_t(raw_len >> 8), uint8_t(raw_len >> 16)};
        return cat(head, stored);
    };
    put(root + "/frame", "stored", frame(kStored, plain.size(), plain));
    put(root + "/frame", "zstd", frame(kZstd, plain.size(), comprime_zstd(plain, 19)));
    put(root + "/frame", "zstd-big", frame(kZstd, 1 << 20, comprime_zstd(Bytes(1 << 20, 7), 3)));
    put(root + "/frame", "cm", frame(kCm, 100, Bytes(12, 0)));
    put(root + "/frame", "unknown", frame(3, 4, text("abcd")));

    const char* pairs[][2] = {{"docs/a.txt", "docs"}, {"x/y/docs", "docs"}, {"docs/a.txt", "docs/"},
                              {"x/a.txt", "a.txt"},   {"x/y.log", "*.log"}, {"a.log.log", "*.log"},
                              {"src/m/n.c", "src/*"}, {"a/b", "*"},         {"a/b", ""},
                              {"Docs/a", "docs"},     {"a*b/c", "a*b*c"}};
    for (size_t i = 0; i < std::size(pairs); ++i) {
        std::string s = std::string(pairs[i][0]) + '\0' + pairs[i][1];
        put(root + "/patron", "pair" + std::to_string(i), text(s));
    }

    Bytes nums{0x55};
    for (uint64_t v : {uint64_t(0), uint64_t(1), uint64_t(300), uint64_t(1) << 35, ~uint64_t(0)}) put_var(nums, v);
    put(root + "/varint", "numbers", nums);
    put(root + "/varint", "ten-bytes", Bytes{0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01});
    put(root + "/varint", "overflow", Bytes{0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x81, 0});
    put(root + "/varint", "index", cat(Bytes{0xff}, serialised));
    return 0;
}
