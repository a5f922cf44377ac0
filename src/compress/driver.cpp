#include "compress/driver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include <fmt/core.h>

#include "compress/assembler.h"
#include "compress/cdc.h"
#include "compress/lane.h"
#include "compress/metadata.h"
#include "compress/grouping.h"
#include "compress/pool.h"
#include "compress/progress.h"
#include "compress/reuse.h"
#include "compress/state.h"
#include "compress/walk.h"
#include "crypto/seal.h"
#include "crypto/slots.h"
#include "format/container.h"
#include "util/env.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"
#include "util/oneshot_zstd.h"

namespace zd::compress {

namespace {

// The output of a new archive: a temporary sibling that becomes the archive
// only through commit(); removed otherwise.
class SalidaTemporal {
public:
    explicit SalidaTemporal(const std::string& output)
        : output_(output), temp_(fmt::format("{}.tmp-{}", output, ::getpid())) {}
    ~SalidaTemporal() {
        if (!committed_) ::unlink(temp_.c_str());
    }
    SalidaTemporal(const SalidaTemporal&) = delete;
    SalidaTemporal& operator=(const SalidaTemporal&) = delete;

    UniqueFd create() {
        remove_leftovers();
        UniqueFd fd = open_fd(temp_, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0666);
        if (!fd) throw Error::sys(fmt::format("crear {}", output_), errno);
        return fd;
    }

    // A run killed before its rename leaves "{output}.tmp-{pid}" behind, as
    // large as the archive it was writing. Those whose process is gone are
    // removed; a live run's file is left alone.
    void remove_leftovers() const {
        const std::filesystem::path out(output_);
        const std::string prefix = out.filename().string() + ".tmp-";
        const std::filesystem::path dir = out.has_parent_path() ? out.parent_path() : ".";
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            const auto pid = parse_u64(name.substr(prefix.size()));
            if (!pid || *pid == 0 || *pid > uint64_t(INT32_MAX)) continue;
            if (pid_t(*pid) != ::getpid() && (::kill(pid_t(*pid), 0) == 0 || errno != ESRCH)) continue;
            ::unlink(entry.path().c_str());
        }
    }

    // fsync the file, rename it over the output, fsync the directory.
    void commit(int fd) {
        if (::fsync(fd) != 0) throw Error::sys(fmt::format("sincronizar {}", output_), errno);
        if (::rename(temp_.c_str(), output_.c_str()) != 0)
            throw Error::sys(fmt::format("renombrar {} a {}", temp_, output_), errno);
        committed_ = true;
        std::string dir = std::filesystem::path(output_).parent_path().string();
        if (dir.empty()) dir = ".";
        if (UniqueFd d = open_fd(dir, O_RDONLY | O_DIRECTORY)) ::fsync(d.get());
    }

private:
    std::string output_;
    std::string temp_;
    bool committed_ = false;
};

// Estimated bytes handed to the compressors per byte of file, in 256ths; only
// the progress forecast uses it. The larger factors belong to the deflate and
// JPEG XL routes, which this build does not have yet: until they exist every
// file hands its own bytes, and a forecast that assumed otherwise would leave
// the final percentage far below 100.
uint64_t plano_por_byte_256(const std::string& path) {
    std::string_view name = path;
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name = name.substr(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return 256;
    std::string ext(name.substr(dot + 1));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    static const std::unordered_map<std::string, uint64_t> factors = {
        {"csv", 138}, {"json", 138}, {"lock", 138}, {"ndjson", 138},
    };
    auto it = factors.find(ext);
    return it == factors.end() ? 256 : it->second;
}

// The state of one run, shared by its steps.
struct Run {
    const OpcionesRun& opt;
    Estadisticas stats;
    format::Index index;
    std::string base = ".";
    std::vector<std::pair<std::string, std::string>> hard_links;
    std::vector<std::string> files;
    // One chunker for the whole run, so its buffer is allocated once.
    TrozosFlujo chunker{-1, cdc_params()};
    // Record names taken by this run, and where each stored file's record is.
    std::unordered_set<std::string> names;
    std::unordered_map<std::string, uint32_t> stored_at;
};

// Two raw names can become the same text once invalid UTF-8 is replaced
// ("a\xff" and "a\xfe" both read "a\uFFFD"); extracting both to one path
// would silently lose one of them. The later entry gets a free name instead.
std::string unique_name(Run& run, std::string name) {
    if (run.names.insert(name).second) return name;
    for (unsigned n = 2;; ++n) {
        std::string other = fmt::format("{}~{}", name, n);
        if (run.names.insert(other).second) {
            fmt::print(stderr, "aviso: {} se guarda como {}: su nombre en UTF-8 coincide con el de otra entrada\n",
                       name, other);
            return other;
        }
    }
}

// Streams standard input into one record.
void store_stdin(Run& run, Assembler& as) {
    const std::string name = unique_name(run, record_name(run.opt.snapshot, "stdin"));
    TrozosFlujo chunks(STDIN_FILENO, cdc_params(), TrozosFlujo::Origen::entrada_estandar);
    Blake3 hasher;
    format::FileRec rec;
    uint8_t lane = 0;
    bool first = true;
    uint64_t size = 0;
    for (;;) {
        std::optional<Bytes> chunk;
        try {
            chunk = chunks.next();
        } catch (Error& e) {
            throw std::move(e).context("leer de la entrada estandar");
        }
        if (!chunk) break;
        if (first) {
            lane = lane_por_contenido(ByteView(*chunk).first(std::min<size_t>(chunk->size(), 4096)));
            first = false;
        }
        hasher.update(*chunk);
        ++run.stats.chunks_seen;
        rec.chunks.push_back(as.add_chunk(lane, *chunk));
        size += chunk->size();
    }
    rec.path = name;
    rec.size = size;
    rec.hash = hasher.finalize16();
    rec.mode = 0644;
    run.index.files.push_back(std::move(rec));
    run.stats.input_bytes += size;
    ++run.stats.files;
}

// One regular file: reused whole from the previous snapshot when the batch's
// reuse test said so, else streamed through the chunker (the ordinary path).
void store_file(Run& run, Assembler& as, const std::string& path, const DecisionReuso* reuse) {
    ++PROG_HECHOS;
    struct stat st;
    if (cron(Fase::stat, [&] { return ::stat(path.c_str(), &st); }) != 0)
        throw Error::sys(fmt::format("stat {}", path), errno);
    const uint64_t size = uint64_t(st.st_size);
    PROG_BYTES += size;
    PROG_PREVISION_HECHA += plano_por_byte_256(path) * (size / 256);
    pinta_progreso(false);

    format::FileRec rec;
    rec.path = unique_name(run, record_name(run.opt.snapshot, nombre_relativo(path, run.base)));
    run.stored_at[path] = uint32_t(run.index.files.size());
    if (reuse && reuse->reused) {
        const format::FileRec& earlier = run.opt.previous->index.files[reuse->record];
        std::vector<format::Xattr> xattrs = cron(Fase::meta_xattr, [&] { return xattrs_de(path); });
        run.index.files.push_back(registro_reusado(earlier, std::move(rec.path), reuse->attrs, std::move(xattrs)));
        run.stats.input_bytes += earlier.size;
        run.stats.unchanged_bytes += earlier.size;
        ++run.stats.files;
        ++run.stats.unchanged_files;
        return;
    }
    // The lane by extension, or by the first bytes read (the same bytes
    // lane_for would sniff, without opening the file twice).
    std::optional<uint8_t> lane = lane_por_extension(path);
    UniqueFd fd = open_fd(path, O_RDONLY);
    if (!fd) throw Error::sys(fmt::format("abrir {}", path), errno);

    Blake3 hasher;
    uint64_t read = 0;
    if (size > 0) {
        TrozosFlujo& chunks = run.chunker;
        chunks.reinicia(fd.get());
        for (;;) {
            std::optional<ByteView> chunk;
            try {
                chunk = cron(Fase::leer_trocear, [&] { return chunks.next_view(); });
            } catch (Error& e) {
                throw std::move(e).context("cdc");
            }
            if (!chunk) break;
            if (!lane) lane = lane_por_contenido(chunk->first(std::min<size_t>(chunk->size(), 4096)));
            ++run.stats.chunks_seen;
            cron(Fase::hash, [&] { hasher.update(*chunk); });
            if (read == 0 && chunk->size() == size) {
                // The whole file in one chunk: the file's hash so far is the
                // chunk's identity, so the chunk is hashed once, not twice.
                rec.chunks.push_back(as.add_chunk(*lane, *chunk, hasher.finalize16()));
            } else {
                rec.chunks.push_back(as.add_chunk(*lane, *chunk));
            }
            read += chunk->size();
        }
    }

    // A file that changed while it was read is recorded as read, so the
    // archive stays self-consistent; the user is told.
    if (read != size) {
        fmt::print(stderr, "aviso: {} cambió mientras se leía ({} B al empezar, {} B leídos); se guarda lo leído\n",
                   path, size, read);
    }
    rec.size = read;
    rec.hash = hasher.finalize16();
    const Atributos at = cron(Fase::meta_xattr, [&] {
        rec.xattrs = xattrs_de(path);
        return reuse ? reuse->attrs : atributos_de(path);
    });
    rec.mtime = at.mtime;
    rec.mode = at.mode;
    rec.uid = at.uid;
    rec.gid = at.gid;
    run.index.files.push_back(std::move(rec));
    run.stats.input_bytes += read;
    ++run.stats.files;
}

void append_hard_links(Run& run) {
    if (run.hard_links.empty()) return;
    std::vector<format::FileRec> links;
    for (const auto& [link, first] : run.hard_links) {
        auto it = run.stored_at.find(first);
        if (it == run.stored_at.end()) continue;
        const format::FileRec& target = run.index.files[it->second];
        format::FileRec rec;
        rec.path = unique_name(run, record_name(run.opt.snapshot, nombre_relativo(link, run.base)));
        rec.hard_link = it->second;
        rec.size = target.size;
        rec.hash = target.hash;
        rec.xattrs = xattrs_de(link);
        const Atributos at = atributos_de(link);
        rec.mtime = at.mtime;
        rec.mode = at.mode;
        rec.uid = at.uid;
        rec.gid = at.gid;
        links.push_back(std::move(rec));
    }
    run.stats.files += links.size();
    for (auto& rec : links) run.index.files.push_back(std::move(rec));
}

// Adds the writer's frame records after the previous ones, checking that no
// frame number is missing.
void append_frames(Run& run, Escrito& written, uint32_t base, uint32_t expected) {
    std::stable_sort(written.frames.begin(), written.frames.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const uint64_t n = written.frames.size();
    if (uint64_t(base) + n != expected)
        throw Error(fmt::format("frames perdidos: {} nuevos + {} de base, se esperaban {}", n, base, expected));
    run.index.frames.resize(base);
    for (auto& [number, rec] : written.frames) run.index.frames.push_back(rec);
    run.stats.stored_frames = written.stored_frames;
}

// Serialises and compresses the index and writes the blob and the footer.
// Returns the archive's size and the index size the progress had estimated.
std::pair<uint64_t, uint64_t> close_archive(Run& run, int fd, uint64_t blob_offset) {
    traza("empieza el CIERRE: serializar el indice");
    Bytes serialised = cron(Fase::cerrar, [&] { return format::escribir(run.index); });
    traza("indice serializado; empieza a comprimirse");
    const uint64_t estimate = PROG_INDICE.load();
    PROG_INDICE = serialised.size();
    PROG_INDICE_FIRME = true;
    VUELO_INDICE_MS = std::max<uint64_t>(1, ms_desde_arranque());
    format::FinArchivo fin;
    fin.blob_offset = blob_offset;
    fin.serialised_len = serialised.size();
    fin.serialised_hash = blake3_256(serialised);
    Bytes packed = cron(Fase::cerrar, [&] { return comprime_zstd(serialised, 19); });
    fin.blob.reserve(packed.size() + 1);
    fin.blob.push_back(1);
    fin.blob.insert(fin.blob.end(), packed.begin(), packed.end());
    PROG_INDICE_LISTO = true;
    if (auto key = crypto::clave()) fin.blob = crypto::cifra(*key, fin.blob);
    cron(Fase::escribir, [&] { format::escribe_fin(fd, fin); });
    return {blob_offset + fin.blob.size() + format::kFooterLen, estimate};
}

}  // namespace

Estadisticas comprimir_pleno(const OpcionesRun& opt) {
    if (opt.max) throw Error("--max: el códec zd-cm aún no está disponible en esta versión");

    FASES_ON = env_switch_on("ZD_FASES");
    const std::vector<std::string> exclude = exclude_patterns();

    Run run{opt};
    const bool appending = opt.previous.has_value();
    if (appending) {
        run.index = opt.previous->index;
    } else {
        run.index.level = opt.level;
    }
    const uint32_t first_frame = uint32_t(run.index.frames.size());

    // Output: a temporary sibling for a new archive, the working copy when appending.
    std::unique_ptr<SalidaTemporal> temp;
    UniqueFd out;
    uint64_t start_offset = format::kHeaderLen;
    if (appending) {
        out = open_fd(opt.output, O_WRONLY);
        if (!out) throw Error::sys(fmt::format("abrir para anadir {}", opt.output), errno);
        start_offset = opt.previous->frames_end;
        int rc;
        do {
            rc = ::ftruncate(out.get(), off_t(start_offset));
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) throw Error::sys("truncar el archivo donde acaban los frames", errno);
        seek_to(out.get(), start_offset);
    } else {
        temp = std::make_unique<SalidaTemporal>(opt.output);
        out = temp->create();
    }

    // Never read the archive being written (nor the file it replaces).
    std::vector<FileId> skip;
    if (auto id = file_id(out.get())) skip.push_back(*id);
    std::vector<std::string> others = opt.also_skip;
    others.push_back(opt.output);
    for (const auto& path : others) {
        if (UniqueFd old = open_fd(path, O_RDONLY)) {
            if (auto id = file_id(old.get())) skip.push_back(*id);
        }
    }

    const unsigned workers = cuenta_workers(opt.max, opt.solid);
    run.stats.workers = workers;
    NIVEL = opt.level;
    CM = opt.max;
    SOLIDO = opt.solid;

    Pool pool(std::move(out), start_offset, appending, first_frame, workers);
    Assembler as(run.index, run.stats, pool.frames(), first_frame);
    if (appending) as.siembra();
    const MapaReuso reuse_map = appending ? construye_mapa_reuso(opt.previous->index) : MapaReuso{};
    const int64_t run_start = segundos_de_inicio();

    if (opt.from_stdin) {
        run.base = ".";
    } else {
        Entradas in = cron(Fase::recorrer, [&] { return toma_entradas(opt.inputs, exclude, skip); });
        run.base = in.base;
        run.stats.excluded += in.excluded;
        run.stats.files += in.recorded;
        // Links, empty folders and devices belong to the snapshot too, so that
        // forget, list and extract of a snapshot see them.
        for (auto& rec : in.records) {
            rec.path = unique_name(run, record_name(opt.snapshot, rec.path));
            run.index.files.push_back(std::move(rec));
        }
        run.files = std::move(in.files);
        run.hard_links = std::move(in.hard_links);
    }

    reinicia_progreso(run.files.size());
    PESO_INDICE = std::max<uint64_t>(1, env_u64("ZD_PESO_INDICE").value_or(workers));
    for (const auto& path : run.files) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) continue;
        PROG_TOTAL_BYTES += uint64_t(st.st_size);
        PROG_PREVISION += plano_por_byte_256(path) * (uint64_t(st.st_size) / 256);
    }
    Latido beat = Latido::arranca();
    if (opt.grouping) cron(Fase::agrupar, [&] { agrupa_por_similitud(run.files, workers); });

    if (opt.from_stdin) store_stdin(run, as);
    constexpr size_t kBatch = 64;
    std::vector<DecisionReuso> decisions;
    for (size_t first = 0; first < run.files.size(); first += kBatch) {
        const size_t last = std::min(run.files.size(), first + kBatch);
        decisions.clear();
        if (!reuse_map.empty()) {
            cron(Fase::stat, [&] {
                for (size_t i = first; i < last; ++i)
                    decisions.push_back(decide_reuso(reuse_map, opt.previous->index, run.files[i], run.base, run_start));
            });
        }
        traza("lote: empieza la pre-pasada JXL");
        traza("lote: empieza la pre-pasada deflate");
        traza("lote: empieza el bucle por fichero");
        for (size_t i = first; i < last; ++i)
            store_file(run, as, run.files[i], decisions.empty() ? nullptr : &decisions[i - first]);
    }

    // End of reading: last frames, pool drained, then the index.
    pinta_progreso(false);
    traza("se acabo de LEER; quedan los frames en el pool y el indice");
    const uint64_t files_read = run.stats.files, bytes_read = run.stats.input_bytes;
    for (uint8_t lane = 0; lane < 3; ++lane) as.flush_lane(lane);
    as.cierra();
    traza("esperando a que el pool termine los frames que quedan");
    Escrito written = pool.shutdown();
    traza("pool terminado");
    append_hard_links(run);
    append_frames(run, written, first_frame, as.next_frame());

    auto [archive_size, estimate] = close_archive(run, written.file.get(), written.end_offset);
    run.stats.output_bytes = archive_size;
    if (temp) temp->commit(written.file.get());

    beat.para();
    pinta_progreso(true);
    PROG_POOL = false;
    pinta_fases(bytes_read, files_read);
    if (env_switch_on("ZD_FASES"))
        escribe_stderr(linea_indice(PROG_INDICE.load(), estimate, files_read, run.index.chunks.size(),
                                    PROG_PLANO_TOTAL.load()));
    return run.stats;
}

}  // namespace zd::compress
