#include "snapshot/forget.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/core.h>

#include "crypto/seal.h"
#include "crypto/slots.h"
#include "format/container.h"
#include "format/index.h"
#include "snapshot/lock.h"
#include "snapshot/replacement.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"
#include "util/oneshot_zstd.h"

namespace zd::snapshot {

namespace {

constexpr uint64_t kGone = std::numeric_limits<uint64_t>::max();

// The new index, with frame offsets still to be filled in, and which old
// frame each new one copies.
struct Compactado {
    format::Index index;
    std::vector<uint32_t> source_frames;
};

Compactado compacta(const format::Index& old, const std::vector<bool>& kept) {
    const size_t nchunks = old.chunks.size();
    const size_t nframes = old.frames.size();

    std::vector<bool> chunk_used(nchunks);
    for (size_t i = 0; i < old.files.size(); ++i) {
        if (!kept[i]) continue;
        for (uint64_t id : old.files[i].chunks)
            if (id < nchunks) chunk_used[id] = true;
    }
    std::vector<bool> frame_used(nframes);
    for (size_t c = 0; c < nchunks; ++c)
        if (chunk_used[c] && old.chunks[c].frame < nframes) frame_used[old.chunks[c].frame] = true;

    Compactado out;
    out.index.level = old.level;
    std::vector<uint64_t> new_frame(nframes, kGone);
    for (size_t f = 0; f < nframes; ++f) {
        if (!frame_used[f]) continue;
        new_frame[f] = out.index.frames.size();
        out.index.frames.push_back(old.frames[f]);
        out.source_frames.push_back(uint32_t(f));
    }
    std::vector<uint64_t> new_chunk(nchunks, kGone);
    for (size_t c = 0; c < nchunks; ++c) {
        if (!chunk_used[c] || old.chunks[c].frame >= nframes) continue;
        new_chunk[c] = out.index.chunks.size();
        format::ChunkRec rec = old.chunks[c];
        rec.frame = uint32_t(new_frame[rec.frame]);
        out.index.chunks.push_back(rec);
    }

    std::vector<uint64_t> new_file(old.files.size(), kGone);
    for (size_t i = 0; i < old.files.size(); ++i) {
        if (!kept[i]) continue;
        format::FileRec rec = old.files[i];
        for (uint64_t& id : rec.chunks) {
            // abrir has checked every id; this only keeps a bad one from
            // turning into a wrong chunk.
            if (id >= nchunks || new_chunk[id] == kGone)
                throw Error(fmt::format("índice incoherente: {} apunta al chunk {} de {}", rec.path, id, nchunks));
            id = new_chunk[id];
        }
        if (rec.hard_link) {
            const uint32_t target = *rec.hard_link;
            if (target >= old.files.size() || new_file[target] == kGone) {
                throw Error(fmt::format(
                    "el enlace duro {} apuntaba a un fichero de la instantánea borrada; no se compacta para no "
                    "dejarlo roto",
                    rec.path));
            }
            rec.hard_link = uint32_t(new_file[target]);
        }
        new_file[i] = out.index.files.size();
        out.index.files.push_back(std::move(rec));
    }
    return out;
}

// Copies `len` stored bytes at `offset` of `from` to the current position of
// `to`, one 8 KiB piece at a time.
void copy_frame(int from, uint64_t offset, uint64_t len, int to, uint32_t old_id, const std::string& to_path) {
    uint8_t buf[8192];
    for (uint64_t done = 0; done < len;) {
        const size_t n = size_t(std::min<uint64_t>(sizeof buf, len - done));
        try {
            pread_exact(from, buf, n, offset + done);
        } catch (Error& e) {
            throw std::move(e).context(fmt::format("leer frame {}", old_id));
        }
        try {
            write_all(to, ByteView(buf, n));
        } catch (Error& e) {
            throw std::move(e).context(fmt::format("escribir {}", to_path));
        }
        done += n;
    }
}

format::FinArchivo index_blob(const format::Index& index, uint64_t offset) {
    const Bytes serialised = format::escribir(index);
    format::FinArchivo fin;
    fin.blob_offset = offset;
    fin.serialised_len = serialised.size();
    fin.serialised_hash = blake3_256(serialised);
    const Bytes packed = comprime_zstd(serialised, 19);
    fin.blob.reserve(packed.size() + 1);
    fin.blob.push_back(format::kZstd);
    fin.blob.insert(fin.blob.end(), packed.begin(), packed.end());
    if (std::optional<crypto::Key> key = crypto::clave()) {
        fin.blob = crypto::cifra(*key, fin.blob);
        sodium_memzero(key->data(), key->size());
    }
    return fin;
}

}  // namespace

std::pair<uint64_t, uint64_t> olvidar(const std::string& archive, const std::string& name) {
    const Candado lock = Candado::coge(archive);
    const format::Archivo old = format::abrir(archive);
    const uint64_t before = old.size;

    std::string_view bare = name;
    while (!bare.empty() && bare.back() == '/') bare.remove_suffix(1);
    const std::string prefix = std::string(bare) + "/";
    const std::vector<format::FileRec>& files = old.index.files;
    std::vector<bool> kept(files.size());
    size_t kept_count = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        kept[i] = !files[i].path.starts_with(prefix);
        kept_count += kept[i];
    }
    if (kept_count == 0 && !files.empty()) {
        throw Error(fmt::format(
            "«{}» es todo lo que hay en el archivo: borrarla lo dejaría vacío. Si es lo que quieres, borra el "
            "fichero .zd.",
            name));
    }
    if (kept_count == files.size()) {
        throw Error(fmt::format(
            "no hay ninguna instantánea «{}» en este archivo. Mira las que hay con `zundra list`.", name));
    }

    // Everything that can refuse is settled before a file is created.
    Compactado plan = compacta(old.index, kept);

    // An encrypted archive keeps its header (salt and cost), so the same
    // password still opens it; the frames stay sealed as they are.
    Bytes header = format::cabecera({});
    if (old.version == 16) {
        uint8_t head[format::kHeaderLen];
        try {
            pread_exact(old.file.get(), head, sizeof head, 0);
        } catch (Error& e) {
            throw std::move(e).context(fmt::format("leer {}", archive));
        }
        if (head[format::kMagicLen] == 1) header.assign(head, head + sizeof head);
    }

    struct stat st;
    if (::fstat(old.file.get(), &st) != 0) throw Error::sys(fmt::format("stat {}", archive), errno);
    const std::string path = sibling_path(archive, "zd.compactando");
    std::optional<Replacement> out;
    try {
        out.emplace(Replacement::create(path, st.st_mode & 0777));
    } catch (Error& e) {
        throw std::move(e).context(fmt::format("crear {}", path));
    }

    try {
        write_all(out->fd(), header);
    } catch (Error& e) {
        throw std::move(e).context(fmt::format("escribir {}", path));
    }
    uint64_t offset = header.size();
    for (size_t i = 0; i < plan.index.frames.size(); ++i) {
        format::FrameRec& frame = plan.index.frames[i];
        copy_frame(old.file.get(), frame.offset, frame.stored_len, out->fd(), plan.source_frames[i], path);
        frame.offset = offset;
        offset += frame.stored_len;
    }
    const format::FinArchivo fin = index_blob(plan.index, offset);
    try {
        format::escribe_fin(out->fd(), fin);
    } catch (Error& e) {
        throw std::move(e).context(fmt::format("escribir {}", path));
    }

    uint64_t after = 0;
    try {
        after = format::abrir(path).size;
    } catch (Error& e) {
        out->keep();
        throw std::move(e).context("el archivo compactado no se puede abrir; NO se reemplaza el original");
    }
    out->replace(archive);
    return {before, after};
}

}  // namespace zd::snapshot
