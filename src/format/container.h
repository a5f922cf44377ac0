// The archive file: magic, crypto header (version 16), frame area, index blob
// and the 64-byte footer. abrir opens and checks an archive and returns its
// index; escribe_fin writes the index blob and the footer that close one.
#pragma once

#include <cstdint>
#include <string>

#include "crypto/setup.h"
#include "format/index.h"
#include "util/bytes.h"
#include "util/fd.h"

namespace zd::format {

inline constexpr char kMagic[] = "ZNDR0016";  // the version this program writes
inline constexpr size_t kMagicLen = 8;
inline constexpr size_t kHeaderLen = 40;      // magic + crypto header
inline constexpr size_t kFooterLen = 64;
inline constexpr size_t kMinArchiveLen = kMagicLen + kFooterLen;

// The 40 bytes at the start of a version-16 archive, as the key set-up reads them.
using CryptoHeader = crypto::CryptoHeaderFields;

struct Archivo {
    Index index;
    UniqueFd file;     // open for reading; the caller reads frames through it
    int version = 16;  // 12..16, from the magic
    uint64_t size = 0; // the file's size when it was opened
};

// Opens `path`, checks the footer, decodes and verifies the index.
Archivo abrir(const std::string& path);

// Reads the crypto header of the file at `path`: unencrypted for versions
// below 16. Throws the open or read error.
CryptoHeader lee_cabecera_cripto(const std::string& path);

// The 40-byte header for a new archive.
Bytes cabecera(const CryptoHeader& header);

// The end of an archive: the index blob as stored (codec byte + compressed
// index, sealed when a key is installed) at offset X, and what the footer
// records about the serialised index.
struct FinArchivo {
    uint64_t blob_offset = 0;  // X, right after the last frame
    Bytes blob;
    uint64_t serialised_len = 0;
    Hash32 serialised_hash{};
};

// Writes the blob and the footer at the current position of `fd` (which must
// be X) through an 8 KiB buffer, then flushes. Throws the system error.
void escribe_fin(int fd, const FinArchivo& fin);

}  // namespace zd::format
