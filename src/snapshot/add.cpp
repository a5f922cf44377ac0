#include "snapshot/add.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include <fmt/core.h>

#include "compress/driver.h"
#include "format/container.h"
#include "snapshot/lock.h"
#include "snapshot/replacement.h"
#include "util/error.h"
#include "util/fd.h"

namespace zd::snapshot {

namespace {

void copy_all(int from, int to, uint64_t size) {
    Bytes buf(std::min<uint64_t>(size, 1 << 20));
    for (uint64_t at = 0; at < size;) {
        const size_t n = size_t(std::min<uint64_t>(buf.size(), size - at));
        pread_exact(from, buf.data(), n, at);
        write_all(to, ByteView(buf).first(n));
        at += n;
    }
}

// Version 12 kept no chunk identities, so nothing could be deduplicated
// against it.
bool without_chunk_hashes(const format::Index& index) {
    return !index.chunks.empty() && std::all_of(index.chunks.begin(), index.chunks.end(), [](const auto& c) {
        return std::all_of(c.hash.begin(), c.hash.end(), [](uint8_t b) { return b == 0; });
    });
}

}  // namespace

compress::Estadisticas anadir(const std::string& archive, const std::vector<std::string>& inputs,
                              const std::string& name, int32_t level, bool jpeg, bool grouping, bool max,
                              uint64_t solid) {
    const Candado lock = Candado::coge(archive);
    format::Archivo old = format::abrir(archive);

    uint8_t footer[format::kFooterLen];
    try {
        pread_exact(old.file.get(), footer, sizeof footer, old.size - format::kFooterLen);
    } catch (Error& e) {
        throw std::move(e).context(fmt::format("leer {}", archive));
    }
    const uint64_t frames_end = get_u64le(footer);

    if (without_chunk_hashes(old.index)) {
        throw Error(
            "este archivo se escribio con una version anterior que no guardaba las huellas                de los "
            "trozos, asi que no se puede deduplicar contra el. Vuelve a crearlo con                esta version y "
            "a partir de ahi ya se le pueden anadir instantaneas.");
    }
    // Appending keeps the first bytes as they are while the new footer says
    // 16, so an older archive would come out unreadable: refuse it up front.
    if (old.version != 16) {
        throw Error(fmt::format(
            "este archivo es de la versión {} del formato; añadir instantáneas solo se puede a archivos de la "
            "versión 16. Vuelve a crearlo con esta versión.",
            old.version));
    }
    // New frames are written from frames_end on; an index that places a frame
    // past it (or a footer that cuts into the header) would have them
    // overwritten, and the check of the result does not read frames.
    if (frames_end < format::kHeaderLen) throw Error("pie inválido: el área de frames empieza antes de la cabecera");
    for (size_t i = 0; i < old.index.frames.size(); ++i) {
        const format::FrameRec& f = old.index.frames[i];
        if (f.offset > frames_end || f.stored_len > frames_end - f.offset)
            throw Error(fmt::format("índice incoherente: el frame {} pasa del final del área de frames", i));
    }

    struct stat st;
    if (::fstat(old.file.get(), &st) != 0) throw Error::sys(fmt::format("stat {}", archive), errno);
    std::optional<Replacement> work;
    try {
        work.emplace(Replacement::create(sibling_path(archive, "zd.parcial"), st.st_mode & 0777));
        copy_all(old.file.get(), work->fd(), old.size);
    } catch (Error& e) {
        throw std::move(e).context(fmt::format("copiar {} para trabajar sobre ella", archive));
    }
    old.file.reset();

    compress::OpcionesRun opt;
    opt.inputs = inputs;
    opt.output = work->path();
    opt.level = level;
    opt.jpeg = jpeg;
    opt.grouping = grouping;
    opt.max = max;
    opt.solid = solid;
    opt.previous = compress::Previos{std::move(old.index), frames_end};
    opt.snapshot = name;
    opt.also_skip = {archive};
    // A failed run leaves the copy without a footer; `work` removes it.
    compress::Estadisticas stats = compress::comprimir_pleno(opt);

    try {
        format::abrir(work->path());
    } catch (Error& e) {
        work->keep();
        throw std::move(e).context("el archivo resultante no se puede abrir; NO se reemplaza el original");
    }
    work->replace(archive);
    return stats;
}

}  // namespace zd::snapshot
