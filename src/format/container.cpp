#include "format/container.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <fmt/core.h>

#include "crypto/seal.h"
#include "crypto/slots.h"
#include "util/error.h"
#include "util/hash.h"
#include "util/utf8.h"
#include "util/oneshot_zstd.h"

namespace zd::format {

namespace {

// The version encoded in an accepted magic, or 0 for an unknown one.
int version_of(const uint8_t* magic) {
    if (std::memcmp(magic, "ZNDR00", 6) != 0) return 0;
    if (magic[6] != '1' || magic[7] < '2' || magic[7] > '6') return 0;
    return 10 + (magic[7] - '0');
}

// The footer's serialised length sizes the buffer the index is inflated
// into. A real index shrinks some tens of times at most (50,000 empty files
// with one mtime: 81 times), so a figure a thousand times the stored blob
// can only come from a decompression bomb, and is refused before it fills
// the memory. Small indexes are never refused.
constexpr uint64_t kIndexAlwaysAllowed = uint64_t(64) << 20;
constexpr uint64_t kMaxIndexRatio = 1024;

uint64_t file_size(int fd, const std::string& path) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw Error::sys(fmt::format("abrir {}", path), errno);
    return uint64_t(st.st_size);
}

}  // namespace

Archivo abrir(const std::string& path) {
    Archivo a;
    a.file = open_fd(path, O_RDONLY);
    if (!a.file) throw Error::sys(fmt::format("abrir {}", path), errno);
    const int fd = a.file.get();
    a.size = file_size(fd, path);
    if (a.size < kMinArchiveLen) throw Error("archivo demasiado pequeño o corrupto");

    uint8_t magic[kMagicLen];
    pread_exact(fd, magic, kMagicLen, 0);
    a.version = version_of(magic);
    if (a.version == 0) {
        throw Error(fmt::format(
            "formato de contenedor desconocido ({}): ¿archivo de una versión posterior? Actualiza zundra.",
            lossy_utf8(std::string_view(reinterpret_cast<const char*>(magic), kMagicLen))));
    }

    uint8_t footer[kFooterLen];
    pread_exact(fd, footer, kFooterLen, a.size - kFooterLen);
    if (std::memcmp(footer + 56, magic, kMagicLen) != 0) throw Error("pie inválido: archivo truncado o corrupto");
    const uint64_t blob_offset = get_u64le(footer);
    const uint64_t blob_len = get_u64le(footer + 8);
    const uint64_t serialised_len = get_u64le(footer + 16);
    Hash32 expected;
    std::memcpy(expected.data(), footer + 24, expected.size());

    if (blob_len == 0) throw Error("índice vacío: archivo corrupto");
    // Checked before allocating: a footer pointing outside the file is refused.
    const uint64_t blob_area_end = a.size - kFooterLen;
    if (blob_offset > blob_area_end || blob_len > blob_area_end - blob_offset)
        throw Error("pie inválido: el índice cae fuera del archivo");

    Bytes blob(blob_len);
    pread_exact(fd, blob.data(), blob.size(), blob_offset);

    if (auto key = crypto::clave()) {
        blob = crypto::descifra(*key, blob);
        if (blob.empty()) throw Error("índice vacío tras descifrar: archivo corrupto");
    }

    if (serialised_len > kIndexAlwaysAllowed && serialised_len / kMaxIndexRatio >= blob.size()) {
        throw Error(fmt::format("pie inválido: un índice de {} bytes no sale de {} bytes guardados", serialised_len,
                                blob.size()));
    }

    Bytes serialised;
    switch (blob[0]) {
        case 1:
            serialised = descomprime_zstd(ByteView(blob).subspan(1), serialised_len);
            break;
        case 2:
            throw Error("índice zd-cm: códec no disponible en esta versión");
        default:
            throw Error(fmt::format("códec de índice desconocido: {}", blob[0]));
    }
    if (blake3_256(serialised) != expected) throw Error("índice corrupto: blake3 no coincide");

    IndexFlags flags;
    flags.chunk_hashes = a.version >= 13;
    flags.owners = a.version >= 14;
    flags.xattrs = a.version >= 16;
    a.index = leer_v(serialised, flags);
    return a;
}

CryptoHeader lee_cabecera_cripto(const std::string& path) {
    UniqueFd fd = open_fd(path, O_RDONLY);
    if (!fd) throw Error::sys(fmt::format("abrir {}", path), errno);
    uint8_t head[kHeaderLen];
    size_t got = read_up_to(fd.get(), head, kHeaderLen);
    CryptoHeader h;  // 64/3/1 and unencrypted unless the header says otherwise
    if (got < kHeaderLen || std::memcmp(head, kMagic, kMagicLen) != 0) return h;
    h.encrypted = head[8] == 1;
    std::memcpy(h.salt.data(), head + 9, h.salt.size());
    h.memory_mib = get_u32le(head + 25);
    h.passes = get_u32le(head + 29);
    h.lanes = get_u32le(head + 33);
    return h;
}

Bytes cabecera(const CryptoHeader& header) {
    Bytes out(kHeaderLen, 0);
    std::memcpy(out.data(), kMagic, kMagicLen);
    if (header.encrypted) {
        out[8] = 1;
        std::memcpy(out.data() + 9, header.salt.data(), header.salt.size());
        put_u32le(out.data() + 25, header.memory_mib);
        put_u32le(out.data() + 29, header.passes);
        put_u32le(out.data() + 33, header.lanes);
    }
    return out;
}

void escribe_fin(int fd, const FinArchivo& fin) {
    BufferedWriter w(fd, 8192);
    w.write(fin.blob);
    uint8_t footer[kFooterLen];
    put_u64le(footer, fin.blob_offset);
    put_u64le(footer + 8, fin.blob.size());
    put_u64le(footer + 16, fin.serialised_len);
    std::memcpy(footer + 24, fin.serialised_hash.data(), fin.serialised_hash.size());
    std::memcpy(footer + 56, kMagic, kMagicLen);
    w.write(ByteView(footer, kFooterLen));
    w.flush();
}

}  // namespace zd::format
