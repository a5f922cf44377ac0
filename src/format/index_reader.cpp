// leer_v and the Lec cursor: parse a serialised index in one pass, then check
// that every reference in it lands inside the lists it names.

#include <algorithm>
#include <limits>
#include <string_view>

#include <fmt/core.h>

#include "format/index.h"
#include "util/error.h"
#include "util/utf8.h"

namespace zd::format {

namespace {

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

// Fewest serialised bytes one element of each list can take. Reserving no more
// than the bytes left allow keeps a corrupt count from allocating much more
// memory than the input itself holds.
constexpr size_t kMinFileBytes = 23;  // path, size, chunk count, hash, kind, mode, mtime, link mark
constexpr size_t kMinHuecoBytes = 3;  // span count, correcciones length, plano
constexpr size_t kMinChunkBytes = 3;
constexpr size_t kMinFrameBytes = 5;
constexpr size_t kMinXattrBytes = 2;
constexpr size_t kMinSpanBytes = 2;

template <typename T>
void reserve_for(std::vector<T>& v, uint64_t count, const Lec& lec, size_t min_bytes) {
    v.reserve(size_t(std::min<uint64_t>(count, lec.left() / min_bytes)));
}

}  // namespace

uint64_t Lec::var() {
    uint64_t v = 0;
    for (unsigned i = 0;; ++i) {
        if (pos_ >= data_.size()) throw Error("índice truncado");
        if (i == 10) throw Error("varint desbordado en el índice");
        const uint8_t b = data_[pos_++];
        // The tenth byte carries only bit 63.
        v |= i < 9 ? uint64_t(b & 0x7f) << (7 * i) : uint64_t(b & 1) << 63;
        if (!(b & 0x80)) return v;
    }
}

uint64_t Lec::cuenta() {
    const uint64_t n = var();
    if (n > left()) throw Error(fmt::format("índice corrupto: cuenta {} mayor que los bytes restantes", n));
    return n;
}

Bytes Lec::bytes() {
    const uint64_t n = var();
    if (n > left()) throw Error(fmt::format("índice corrupto: longitud {} mayor que los bytes restantes", n));
    Bytes b(data_.begin() + pos_, data_.begin() + pos_ + n);
    pos_ += n;
    return b;
}

std::string Lec::texto() {
    const uint64_t n = var();
    if (n > left()) throw Error(fmt::format("índice corrupto: longitud {} mayor que los bytes restantes", n));
    std::string s(reinterpret_cast<const char*>(data_.data()) + pos_, n);
    if (auto bad = utf8_error_at(s))
        throw Error(fmt::format("índice corrupto: texto UTF-8 inválido en el byte {} de {}", *bad, n));
    pos_ += n;
    return s;
}

uint8_t Lec::byte() {
    if (pos_ >= data_.size()) throw Error("índice truncado");
    return data_[pos_++];
}

Hash16 Lec::hash16() {
    Hash16 h;
    if (left() < h.size()) throw Error("índice truncado en un hash");
    std::copy_n(data_.begin() + pos_, h.size(), h.begin());
    pos_ += h.size();
    return h;
}

Hueco lee_hueco(Lec& lec, bool extended) {
    Hueco h;
    const uint64_t spans = lec.cuenta();
    reserve_for(h.tramos, spans, lec, kMinSpanBytes);
    uint64_t prev_end = 0;  // at most 2 * (2^32 - 1): no overflow below
    for (uint64_t i = 0; i < spans; ++i) {
        const uint64_t delta = lec.var();
        const uint64_t len = lec.var();
        if (delta > kU32Max || prev_end + delta > kU32Max || len > kU32Max)
            throw Error("tramo fuera de rango");
        const uint64_t start = prev_end + delta;
        h.tramos.emplace_back(uint32_t(start), uint32_t(len));
        prev_end = start + len;
    }
    h.correcciones = lec.bytes();
    const uint64_t plano = lec.var();
    if (plano > kU32Max) throw Error("plano fuera de rango");
    h.plano = uint32_t(plano);
    if (!extended) return h;

    h.clase = lec.byte();
    if (h.clase > 2)
        throw Error(fmt::format(
            "clase de hueco desconocida ({}): ¿archivo de una versión posterior?", h.clase));
    // Any mark but 1 means no interior.
    if (lec.byte() == 1) {
        Interior in;
        in.esqueleto = lec.bytes();
        const uint64_t n = lec.cuenta();
        reserve_for(in.huecos, n, lec, kMinHuecoBytes);
        for (uint64_t i = 0; i < n; ++i) in.huecos.push_back(lee_hueco(lec, false));
        h.interior.push_back(std::move(in));
    }
    return h;
}

namespace {

Transform read_deflate(Lec& lec, bool extended) {
    Transform t;
    t.kind = TransformKind::Deflate;
    t.esqueleto = lec.bytes();
    const uint64_t n = lec.cuenta();
    reserve_for(t.huecos, n, lec, kMinHuecoBytes);
    for (uint64_t i = 0; i < n; ++i) t.huecos.push_back(lee_hueco(lec, extended));
    return t;
}

void read_file(Lec& lec, const std::vector<FileRec>& earlier, IndexFlags flags, FileRec& f) {
    f.path = lec.texto();
    f.size = lec.var();

    const uint64_t nchunks = lec.cuenta();
    reserve_for(f.chunks, nchunks, lec, 1);
    uint64_t id = 0;  // a running signed sum, kept in two's complement
    for (uint64_t i = 0; i < nchunks; ++i) {
        id += uint64_t(unzigzag(lec.var()));
        if (int64_t(id) < 0) throw Error("índice corrupto: id de chunk negativo");
        f.chunks.push_back(id);
    }

    f.hash = lec.hash16();

    const uint8_t kind = lec.byte();
    switch (kind) {
    case 0:
        break;
    case 1:
    case 5:
        f.transform = read_deflate(lec, kind == 5);
        break;
    case 2:
    case 3:
    case 4:
        f.transform = Transform{TransformKind(kind), {}, {}};
        break;
    case 7: {
        const uint64_t from = lec.var();
        if (from >= earlier.size())
            throw Error(fmt::format(
                "índice corrupto: transformada compartida apunta al fichero {}, que aún no existe",
                from));
        f.transform = earlier[from].transform;
        break;
    }
    default:
        throw Error(fmt::format(
            "transformada desconocida ({}): ¿archivo de una versión posterior?", kind));
    }

    f.mode = uint32_t(lec.var());
    f.mtime = unzigzag(lec.var());
    const uint8_t link = lec.byte();
    if (link > 1) throw Error(fmt::format("marca de symlink inválida ({})", link));
    if (link == 1) f.link_target = lec.texto();

    if (flags.owners) {
        f.uid = uint32_t(lec.var());
        f.gid = uint32_t(lec.var());
        f.rdev = lec.var();
        const uint8_t hard = lec.byte();
        if (hard > 1) throw Error(fmt::format("marca de enlace duro inválida ({})", hard));
        if (hard == 1) {
            const uint32_t target = uint32_t(lec.var());
            if (target >= earlier.size())
                throw Error(fmt::format(
                    "índice corrupto: enlace duro al fichero {}, que aún no existe", target));
            f.hard_link = target;
        }
    }

    if (flags.xattrs) {
        const uint64_t n = lec.cuenta();
        reserve_for(f.xattrs, n, lec, kMinXattrBytes);
        for (uint64_t i = 0; i < n; ++i) {
            Xattr x;
            x.name = lec.texto();
            x.value = lec.bytes();
            f.xattrs.push_back(std::move(x));
        }
    }
}

void check(const Index& index) {
    const size_t nframes = index.frames.size();
    for (const ChunkRec& c : index.chunks) {
        if (c.frame >= nframes)
            throw Error(fmt::format("índice incoherente: chunk apunta al frame {} de {}", c.frame,
                                    nframes));
        if (uint64_t(c.offset) + c.len > index.frames[c.frame].raw_len)
            throw Error("índice incoherente: chunk se sale de su frame");
    }
    const size_t nchunks = index.chunks.size();
    for (const FileRec& f : index.files)
        for (uint64_t id : f.chunks)
            if (id >= nchunks)
                throw Error(fmt::format("índice incoherente: {} apunta al chunk {} de {}", f.path,
                                        id, nchunks));
}

}  // namespace

Index leer_v(ByteView data, IndexFlags flags) {
    Lec lec(data);
    Index index;

    const uint64_t nfiles = lec.cuenta();
    reserve_for(index.files, nfiles, lec, kMinFileBytes);
    for (uint64_t i = 0; i < nfiles; ++i) {
        FileRec f;
        read_file(lec, index.files, flags, f);
        index.files.push_back(std::move(f));
    }

    const uint64_t nchunks = lec.cuenta();
    reserve_for(index.chunks, nchunks, lec, kMinChunkBytes);
    int64_t frame = 0;  // stays within [0, 2^32 - 1]: no overflow
    for (uint64_t i = 0; i < nchunks; ++i) {
        ChunkRec c;
        const int64_t delta = unzigzag(lec.var());
        if (delta > int64_t(kU32Max) - frame || delta < -frame)
            throw Error("índice corrupto: id de frame fuera de rango");
        frame += delta;
        c.frame = uint32_t(frame);
        c.offset = uint32_t(lec.var());
        c.len = uint32_t(lec.var());
        if (flags.chunk_hashes) c.hash = lec.hash16();
        index.chunks.push_back(c);
    }

    const uint64_t nframes = lec.cuenta();
    reserve_for(index.frames, nframes, lec, kMinFrameBytes);
    uint64_t offset = 0;
    for (uint64_t i = 0; i < nframes; ++i) {
        FrameRec fr;
        const uint64_t delta = lec.var();
        if (delta > std::numeric_limits<uint64_t>::max() - offset)
            throw Error("índice corrupto: offset desbordado");
        offset += delta;
        fr.offset = offset;
        fr.stored_len = lec.var();
        fr.raw_len = lec.var();
        fr.codec = lec.byte();
        fr.lane = lec.byte();
        index.frames.push_back(fr);
    }

    index.level = int32_t(unzigzag(lec.var()));
    // Bytes after the level are ignored.

    check(index);
    return index;
}

}  // namespace zd::format
