// escribir: the Index to its serialised (version-16) form, in one pass.

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include <fmt/core.h>

#include "format/index.h"
#include "util/env.h"
#include "util/hash.h"

namespace zd::format {

bool Hueco::operator==(const Hueco& other) const {
    return tramos == other.tramos && correcciones == other.correcciones &&
           interior == other.interior && plano == other.plano && clase == other.clase;
}

void put_var(Bytes& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(uint8_t(v) | 0x80);
        v >>= 7;
    }
    out.push_back(uint8_t(v));
}

namespace {

// Bytes each part of the index takes, for the ZD_INDICE_DEBUG report.
struct Sizes {
    size_t rutas = 0, listas = 0, huellas = 0, meta = 0;
    size_t esqueletos = 0, correcciones = 0, tramos = 0;
    size_t chunks = 0, frames = 0;
    size_t refs = 0, ref_bytes = 0, ref_saved = 0;
};

// Deflate-record parts, counted apart so that a shared record (written as a
// reference) does not count its parts again.
struct DeflateSizes {
    size_t esqueletos = 0, correcciones = 0, tramos = 0;
};

void put_bytes(Bytes& out, ByteView b) {
    put_var(out, b.size());
    out.insert(out.end(), b.begin(), b.end());
}

void put_text(Bytes& out, const std::string& s) {
    put_var(out, s.size());
    out.insert(out.end(), s.begin(), s.end());
}

void write_hueco(Bytes& out, const Hueco& h, bool extended, DeflateSizes* sz) {
    put_var(out, h.tramos.size());
    size_t before = out.size();
    uint64_t prev_end = 0;
    for (auto [start, len] : h.tramos) {
        // Spans are ascending and disjoint, so the delta is never negative.
        put_var(out, uint64_t(start) - prev_end);
        put_var(out, len);
        prev_end = uint64_t(start) + len;
    }
    if (sz) sz->tramos += out.size() - before;
    before = out.size();
    put_bytes(out, h.correcciones);
    if (sz) sz->correcciones += out.size() - before;
    put_var(out, h.plano);
    if (!extended) return;
    out.push_back(h.clase);
    if (h.interior.empty()) {
        out.push_back(0);
        return;
    }
    const Interior& in = h.interior.front();
    out.push_back(1);
    before = out.size();
    put_bytes(out, in.esqueleto);
    if (sz) sz->esqueletos += out.size() - before;
    put_var(out, in.huecos.size());
    for (const Hueco& inner : in.huecos) write_hueco(out, inner, false, sz);
}

bool needs_extended(const std::vector<Hueco>& huecos) {
    for (const Hueco& h : huecos)
        if (!h.interior.empty() || h.clase != 0) return true;
    return false;
}

// Kind byte and payload of a deflate re-creation record.
void encode_deflate(Bytes& out, const Transform& t, DeflateSizes& sz) {
    const bool extended = needs_extended(t.huecos);
    out.push_back(extended ? 5 : 1);
    size_t before = out.size();
    put_bytes(out, t.esqueleto);
    sz.esqueletos += out.size() - before;
    put_var(out, t.huecos.size());
    for (const Hueco& h : t.huecos) write_hueco(out, h, extended, &sz);
}

// Shorter encodings cost no more than a reference would save.
constexpr size_t kShareMin = 17;

struct Hash32Hasher {
    size_t operator()(const Hash32& h) const {
        size_t v;
        std::memcpy(&v, h.data(), sizeof v);
        return v;
    }
};

void print_report(const Index& index, size_t total, const Sizes& s) {
    std::string out = fmt::format("[indice] {} ficheros, {} chunks, {} frames — {} B en CRUDO\n",
                                  index.files.size(), index.chunks.size(), index.frames.size(),
                                  total);
    out += "[indice] (crudo: lo que cada parte METE en el compresor. El indice se\n";
    out += "[indice]  comprime de una pasada, asi que nadie tiene un tamaño propio.)\n";
    const std::pair<const char*, size_t> parts[] = {
        {"rutas", s.rutas},
        {"listas de chunk", s.listas},
        {"huellas de fichero", s.huellas},
        {"modo+fecha+symlink", s.meta},
        {"ESQUELETOS", s.esqueletos},
        {"CORRECCIONES preflate", s.correcciones},
        {"tramos de hueco", s.tramos},
        {"registros de chunk", s.chunks},
        {"registros de frame", s.frames},
    };
    for (auto [name, bytes] : parts) {
        if (bytes == 0) continue;
        out += fmt::format("[indice]   {:<24} {:>12} B  {:>5.1f}%\n", name, bytes,
                           100.0 * double(bytes) / double(total));
    }
    if (s.refs > 0)
        out += fmt::format("[indice]   {:<24} {:>12} B   ({} referencias que ahorraron {} B)\n",
                           "referencias (F2.65)", s.ref_bytes, s.refs, s.ref_saved);
    std::fputs(out.c_str(), stderr);
}

}  // namespace

void escribe_hueco(Bytes& out, const Hueco& hueco, bool extended) {
    write_hueco(out, hueco, extended, nullptr);
}

Bytes escribir(const Index& index) {
    Bytes out;
    out.reserve(80 * index.files.size() + 24 * index.chunks.size() + 4096);
    Sizes s;

    // First file holding each shareable transform encoding, by its BLAKE3.
    std::unordered_map<Hash32, uint64_t, Hash32Hasher> shared;
    Bytes enc;

    put_var(out, index.files.size());
    for (size_t fi = 0; fi < index.files.size(); ++fi) {
        const FileRec& f = index.files[fi];
        size_t mark = out.size();
        put_text(out, f.path);
        put_var(out, f.size);
        s.rutas += out.size() - mark;

        mark = out.size();
        put_var(out, f.chunks.size());
        uint64_t prev = 0;
        for (uint64_t id : f.chunks) {
            put_var(out, zigzag(int64_t(id - prev)));
            prev = id;
        }
        s.listas += out.size() - mark;

        out.insert(out.end(), f.hash.begin(), f.hash.end());
        s.huellas += f.hash.size();

        if (!f.transform) {
            out.push_back(0);
        } else if (f.transform->kind != TransformKind::Deflate) {
            out.push_back(uint8_t(f.transform->kind));
        } else {
            enc.clear();
            DeflateSizes ds;
            encode_deflate(enc, *f.transform, ds);
            bool written_as_ref = false;
            if (enc.size() >= kShareMin) {
                auto [it, fresh] = shared.try_emplace(blake3_256(enc), fi);
                if (!fresh) {
                    mark = out.size();
                    out.push_back(7);
                    put_var(out, it->second);
                    ++s.refs;
                    s.ref_bytes += out.size() - mark;
                    s.ref_saved += enc.size() - (out.size() - mark);
                    written_as_ref = true;
                }
            }
            if (!written_as_ref) {
                out.insert(out.end(), enc.begin(), enc.end());
                s.esqueletos += ds.esqueletos;
                s.correcciones += ds.correcciones;
                s.tramos += ds.tramos;
            }
        }

        mark = out.size();
        put_var(out, f.mode);
        put_var(out, zigzag(f.mtime));
        if (f.link_target) {
            out.push_back(1);
            put_text(out, *f.link_target);
        } else {
            out.push_back(0);
        }
        s.meta += out.size() - mark;

        put_var(out, f.uid);
        put_var(out, f.gid);
        put_var(out, f.rdev);
        if (f.hard_link) {
            out.push_back(1);
            put_var(out, *f.hard_link);
        } else {
            out.push_back(0);
        }

        put_var(out, f.xattrs.size());
        for (const Xattr& x : f.xattrs) {
            put_text(out, x.name);
            put_bytes(out, x.value);
        }
    }

    size_t mark = out.size();
    put_var(out, index.chunks.size());
    uint32_t prev_frame = 0;
    for (const ChunkRec& c : index.chunks) {
        put_var(out, zigzag(int64_t(c.frame) - int64_t(prev_frame)));
        prev_frame = c.frame;
        put_var(out, c.offset);
        put_var(out, c.len);
        out.insert(out.end(), c.hash.begin(), c.hash.end());
    }
    s.chunks = out.size() - mark;

    mark = out.size();
    put_var(out, index.frames.size());
    uint64_t prev_offset = 0;
    for (const FrameRec& fr : index.frames) {
        // Frames are listed in ascending offset order: the delta is unsigned.
        put_var(out, fr.offset - prev_offset);
        prev_offset = fr.offset;
        put_var(out, fr.stored_len);
        put_var(out, fr.raw_len);
        out.push_back(fr.codec);
        out.push_back(fr.lane);
    }
    s.frames = out.size() - mark;

    put_var(out, zigzag(index.level));

    if (env_text("ZD_INDICE_DEBUG")) print_report(index, out.size(), s);
    return out;
}

}  // namespace zd::format
