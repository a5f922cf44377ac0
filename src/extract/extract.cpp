#include "extract/extract.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include <fmt/core.h>

#include "extract/destination.h"
#include "extract/frame_cache.h"
#include "format/container.h"
#include "format/pattern.h"
#include "util/env.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"

namespace zd::extract {

namespace {

using format::FileRec;
using format::Index;

constexpr size_t kMaxWorkers = 12;

// What one worker (or the hard-link step) hands back.
struct Parcial {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t failed = 0;
    std::vector<std::string> lines;

    // A broken entry: counts toward failed.
    void falla(std::string line) {
        lines.push_back(std::move(line));
        ++failed;
    }
    // Worth telling, not a broken entry.
    void avisa(std::string line) { lines.push_back(std::move(line)); }

    void insegura(const std::string& path) {
        falla(fmt::format("ROUND-TRIP FAIL: {} (ruta insegura: atraviesa un enlace simbólico)", path));
    }
};

// Shared by every worker; only the cache is mutable.
struct Comun {
    const std::string& archive;
    const Index& index;
    CacheFrames& cache;
    const Destino* dest;  // null when verifying
    const std::optional<std::string>& pattern;
};

bool selected(const Comun& c, const FileRec& rec) {
    return !c.pattern || format::casa_patron(rec.path, *c.pattern);
}

// Absolute, climbing out with "..", or cut short by a NUL when handed to the
// system: any of these could land outside the destination or on the wrong name.
bool unsafe_path(std::string_view path) {
    if (path.starts_with('/')) return true;
    if (path.find('\0') != std::string_view::npos) return true;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (path.substr(start, slash - start) == "..") return true;
        start = slash + 1;
    }
    return false;
}

const char* transform_name(format::TransformKind kind) {
    switch (kind) {
        case format::TransformKind::Deflate: return "deflate";
        case format::TransformKind::Jxl: return "jxl";
        case format::TransformKind::E8e9: return "e8e9";
        case format::TransformKind::LogTs: return "log-ts";
    }
    return "?";
}

// The record that holds a hard link's content: the end of its chain of
// earlier entries (the index only links backwards, so the walk ends).
const FileRec& content_of(const Index& index, const FileRec& rec) {
    const FileRec* r = &rec;
    while (r->hard_link) r = &index.files[*r->hard_link];
    return *r;
}

size_t available_cpus() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return size_t(n);
    }
    return 4;
}

// Streams a record's chunks in order to `sink`, keeping the current frame
// while consecutive chunks come from it. Returns the length streamed.
template <class Sink>
uint64_t recorre(int fd, const Comun& c, const FileRec& rec, Sink&& sink) {
    Frame current;
    uint32_t current_id = 0;
    uint64_t total = 0;
    for (uint64_t id : rec.chunks) {
        if (id >= c.index.chunks.size())
            throw Error(fmt::format("índice incoherente: {} apunta al chunk {} de {}", rec.path, id,
                                    c.index.chunks.size()));
        const format::ChunkRec& chunk = c.index.chunks[id];
        if (!current || current_id != chunk.frame) {
            current = frame_cacheado(fd, c.index, chunk.frame, c.cache);
            current_id = chunk.frame;
        }
        if (uint64_t(chunk.offset) + chunk.len > current->size())
            throw Error("índice incoherente: chunk se sale de su frame");
        sink(ByteView(current->data() + chunk.offset, chunk.len));
        total += chunk.len;
    }
    return total;
}

void symlink_entry(const Comun& c, const FileRec& rec, Parcial& out) {
    const std::string& target = *rec.link_target;
    ++out.files;
    out.bytes += target.size();
    if (blake3_16(target) != rec.hash) {
        out.falla(fmt::format("ROUND-TRIP FAIL: {} (destino de symlink no coincide)", rec.path));
        return;
    }
    if (!c.dest) return;
    auto parent = c.dest->padre(rec.path);
    if (!parent) return out.insegura(rec.path);
    ::unlinkat(parent->dir.get(), parent->leaf.c_str(), 0);
    if (::symlinkat(target.c_str(), parent->dir.get(), parent->leaf.c_str()) != 0) throw Error::sys(errno);
    aplicar_meta(parent->dir.get(), parent->leaf, rec, true);
}

void special_entry(const Comun& c, const FileRec& rec, Parcial& out) {
    ++out.files;
    if (!c.dest) return;
    auto parent = c.dest->padre(rec.path);
    if (!parent) return out.insegura(rec.path);
    ::unlinkat(parent->dir.get(), parent->leaf.c_str(), 0);
    if (::mknodat(parent->dir.get(), parent->leaf.c_str(), mode_t(rec.mode), dev_t(rec.rdev)) != 0) {
        out.avisa(fmt::format("AVISO: {} es un fichero especial y no se pudo recrear (¿hacen falta privilegios?)",
                              rec.path));
        return;
    }
    aplicar_meta(parent->dir.get(), parent->leaf, rec, false);
}

void directory_entry(const Comun& c, const FileRec& rec, Parcial& out) {
    ++out.files;
    if (!c.dest) return;
    auto parent = c.dest->padre(rec.path);
    if (!parent) return out.insegura(rec.path);
    const std::string shown = c.dest->muestra(rec.path);
    const int dir = parent->dir.get();
    const char* leaf = parent->leaf.c_str();
    if (::mkdirat(dir, leaf, 0777) != 0 && errno != EEXIST) throw Error::sys("crear " + shown, errno);
    struct stat st;
    if (::fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) throw Error::sys("crear " + shown, errno);
    if (S_ISLNK(st.st_mode)) return out.insegura(rec.path);
    if (!S_ISDIR(st.st_mode)) throw Error::sys("crear " + shown, EEXIST);
    aplicar_meta(dir, parent->leaf, rec, false);
}

// A regular file (or anything without a node of its own): `content` holds the
// chunks, `rec` the name, hash and metadata. Streamed to a temporary beside
// its final name and put in place only when the hash matches.
void regular_entry(int fd, const Comun& c, const FileRec& rec, const FileRec& content, Parcial& out) {
    ++out.files;
    if (content.transform) {
        out.falla(fmt::format("ROUND-TRIP FAIL: {} (transformada {} no disponible en esta versión)", rec.path,
                              transform_name(content.transform->kind)));
        return;
    }
    const auto mismatch = [&] { out.falla(fmt::format("ROUND-TRIP FAIL: {} (blake3 no coincide)", rec.path)); };
    Blake3 hasher;
    if (!c.dest) {
        out.bytes += recorre(fd, c, content, [&](ByteView v) { hasher.update(v); });
        if (hasher.finalize16() != rec.hash) mismatch();
        return;
    }

    auto parent = c.dest->padre(rec.path);
    if (!parent) return out.insegura(rec.path);
    const std::string shown = c.dest->muestra(rec.path);
    Temporal tmp(parent->dir.get(), "crear " + shown);
    EscritorDisperso writer(tmp.fd());
    const auto written = [&](auto&& step) {
        try {
            step();
        } catch (Error& e) {
            throw std::move(e).context("escribir " + shown);
        }
    };
    out.bytes += recorre(fd, c, content, [&](ByteView v) {
        hasher.update(v);
        written([&] { writer.escribe(v); });
    });
    written([&] { writer.termina(); });
    if (hasher.finalize16() != rec.hash) return mismatch();  // the temporary goes with tmp
    tmp.cierra();
    aplicar_meta(parent->dir.get(), tmp.name(), rec, false);
    tmp.coloca(parent->leaf);
}

Parcial extraer_rango(const Comun& c, size_t begin, size_t end) {
    UniqueFd fd = open_fd(c.archive, O_RDONLY);
    if (!fd) throw Error::sys("abrir " + c.archive, errno);
    Parcial out;
    for (size_t i = begin; i < end; ++i) {
        const FileRec& rec = c.index.files[i];
        if (!selected(c, rec)) continue;
        if (componentes(rec.path).empty()) {
            ++out.files;
            out.falla(fmt::format("ROUND-TRIP FAIL: {} (ruta vacía: no puede reemplazar el destino)", rec.path));
            continue;
        }
        if (rec.link_target) {
            symlink_entry(c, rec, out);
            continue;
        }
        if (rec.hard_link) {
            // Made by the hard-link step once every target exists, unless the
            // target is left out by the pattern: then this name gets a copy.
            const FileRec& target = c.index.files[*rec.hard_link];
            if (c.dest && c.pattern && !format::casa_patron(target.path, *c.pattern))
                regular_entry(fd.get(), c, rec, content_of(c.index, rec), out);
            else
                ++out.files;
            continue;
        }
        const mode_t mode = mode_t(rec.mode);
        if (S_ISFIFO(mode) || S_ISCHR(mode) || S_ISBLK(mode))
            special_entry(c, rec, out);
        else if (S_ISDIR(mode))
            directory_entry(c, rec, out);
        else
            regular_entry(fd.get(), c, rec, rec, out);  // sockets come back as empty files
    }
    return out;
}

// The fallback of a link that cannot be made: a copy of the target's file.
void copy_file(const Destino::Padre& from, const Destino::Padre& to, const std::string& shown) {
    const std::string context = "copiar a " + shown;
    UniqueFd src(::openat(from.dir.get(), from.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!src) throw Error::sys(context, errno);
    Temporal tmp(to.dir.get(), context);
    try {
        EscritorDisperso writer(tmp.fd());
        Bytes buf(1 << 18);
        while (size_t n = read_up_to(src.get(), buf.data(), buf.size())) writer.escribe(ByteView(buf.data(), n));
        writer.termina();
    } catch (Error& e) {
        throw std::move(e).context(context);
    }
    tmp.cierra();
    tmp.coloca(to.leaf);
}

void link_entry(const Destino& dest, const FileRec& rec, const FileRec& target, Parcial& out) {
    // An empty name was already reported by its worker.
    if (componentes(rec.path).empty()) return;
    if (componentes(target.path).empty()) {
        out.falla(fmt::format("ROUND-TRIP FAIL: {} (ruta vacía: no puede reemplazar el destino)", target.path));
        return;
    }
    auto to = dest.padre(rec.path);
    auto from = dest.padre(target.path);
    if (!to || !from) return out.insegura(rec.path);
    ::unlinkat(to->dir.get(), to->leaf.c_str(), 0);
    if (::linkat(from->dir.get(), from->leaf.c_str(), to->dir.get(), to->leaf.c_str(), 0) != 0) {
        const int err = errno;
        out.avisa(fmt::format("AVISO: {} no se pudo enlazar a {} ({}); se copia", rec.path, target.path,
                              sys_text(err)));
        copy_file(*from, *to, dest.muestra(rec.path));
    }
    aplicar_meta(to->dir.get(), to->leaf, rec, false);
}

}  // namespace

size_t cuantos_workers(const Index& index) {
    size_t n = std::min(available_cpus(), kMaxWorkers);
    n = std::min(n, index.files.size());
    const size_t cm_frames = size_t(std::count_if(index.frames.begin(), index.frames.end(),
                                                  [](const format::FrameRec& f) { return f.codec == format::kCm; }));
    if (cm_frames > 0) {
        // A zd-cm decoder needs about 2 GiB.
        size_t by_memory = kMaxWorkers;
        if (auto mb = env_u64("ZD_RAM_MB")) by_memory = size_t(std::max<uint64_t>(1, *mb / 2048));
        n = std::min({n, cm_frames, by_memory});
    }
    return std::max<size_t>(n, 1);
}

Resultado extraer_patron(const std::string& archive, const std::optional<std::string>& dest,
                         std::vector<std::string>& failures, const std::optional<std::string>& pattern) {
    format::Archivo opened = format::abrir(archive);
    const Index& index = opened.index;
    if (index.files.empty()) return {};

    // Every entry, selected or not, before anything is written.
    for (size_t i = 0; i < index.files.size(); ++i) {
        const FileRec& rec = index.files[i];
        if (unsafe_path(rec.path)) throw Error(fmt::format("ruta insegura en índice: {}", rec.path));
        if (rec.hard_link && *rec.hard_link >= i)
            throw Error(fmt::format("índice corrupto: enlace duro al fichero {}, que aún no existe", *rec.hard_link));
    }

    std::optional<Destino> destino;
    if (dest) destino.emplace(*dest);
    CacheFrames cache;
    const Comun common{archive, index, cache, destino ? &*destino : nullptr, pattern};

    const size_t entries = index.files.size();
    const size_t workers = cuantos_workers(index);
    const size_t per = (entries + workers - 1) / workers;
    struct Slot {
        size_t begin, end;
        Parcial part;
        std::exception_ptr error;
    };
    std::vector<Slot> slots;
    for (size_t begin = 0; begin < entries; begin += per) slots.push_back({begin, std::min(entries, begin + per), {}, {}});

    const auto run = [&common](Slot& slot) {
        try {
            slot.part = extraer_rango(common, slot.begin, slot.end);
        } catch (...) {
            slot.error = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(slots.size());
    std::vector<Slot*> unstarted;
    for (Slot& slot : slots) {
        try {
            threads.emplace_back(run, std::ref(slot));
        } catch (const std::system_error&) {
            unstarted.push_back(&slot);  // no thread to spare: this range runs here
        }
    }
    for (Slot* slot : unstarted) run(*slot);
    for (std::thread& t : threads) t.join();
    for (const Slot& slot : slots)
        if (slot.error) std::rethrow_exception(slot.error);

    Parcial links;
    if (destino) {
        for (const FileRec& rec : index.files) {
            if (!rec.hard_link) continue;
            const FileRec& target = index.files[*rec.hard_link];
            if (pattern && !(format::casa_patron(rec.path, *pattern) && format::casa_patron(target.path, *pattern)))
                continue;
            link_entry(*destino, rec, target, links);
        }
    }

    Resultado result;
    result.failed = links.failed;
    failures.insert(failures.end(), links.lines.begin(), links.lines.end());
    for (Slot& slot : slots) {
        result.files += slot.part.files;
        result.bytes += slot.part.bytes;
        result.failed += slot.part.failed;
        for (auto& line : slot.part.lines) failures.push_back(std::move(line));
    }
    return result;
}

}  // namespace zd::extract
