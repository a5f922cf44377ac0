// The input walk of a compression run: turns the paths named by the user into
// one ordered list of entries, names them relative to a common base folder,
// drops the excluded ones, and makes the file records of the entries that have
// no content (links, empty directories, devices). Regular files are only
// listed; the driver stores them. Runs on the driver thread before any
// compression thread starts; nothing here is shared.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compress/metadata.h"
#include "format/index.h"

namespace zd::compress {

enum class Tipo : uint8_t {
    Fichero = 0,   // regular file
    Enlace = 1,    // symbolic link, never followed below the top level
    DirVacio = 2,  // a directory that holds no entry at all
    Otro = 3,      // device, FIFO, socket
};

struct Entrada {
    std::string path;  // as given or joined; raw bytes, not necessarily UTF-8
    Tipo tipo = Tipo::Fichero;

    bool operator==(const Entrada& other) const = default;
};

// A file's identity (st_dev, st_ino). Entries with an identity the caller
// names are skipped silently, so that a run never reads the archive it is
// writing, nor that archive's temporary sibling.
struct FileId {
    uint64_t dev = 0;
    uint64_t ino = 0;

    bool operator==(const FileId& other) const = default;
};

// fstat of an open file; nullopt when it fails.
std::optional<FileId> file_id(int fd);

// Appends the entries under `dir` to `out`: names in raw byte order, depth
// first, DirVacio for directories whose walk added nothing. Throws zd::Error:
// "leer directorio {}" when a listing cannot be opened, the bare system error
// when reading it fails, "stat {}" when an entry cannot be examined.
void recorrer(const std::string& dir, std::vector<Entrada>& out, std::span<const FileId> skip = {});

// What the driver takes from the inputs.
struct Entradas {
    std::string base;                     // the folder that holds them all
    std::vector<format::FileRec> records; // entries without content, in walk order
    std::vector<std::string> files;       // regular files to store, full paths
    // (later link, first file with the same identity), full paths, walk order.
    std::vector<std::pair<std::string, std::string>> hard_links;
    uint64_t excluded = 0;  // entries dropped by a pattern
    uint64_t recorded = 0;  // records made here
};

// Walks and classifies `inputs` in order (a top-level symbolic link is
// followed; a directory is walked but is never an entry itself), drops entries
// whose relative name matches one of `exclude`, and finds hard links among the
// rest. Records made here carry the plain relative name; the driver puts the
// snapshot name in front, as for every record of a run. Throws zd::Error ("stat {}", "read_link {}" and those of recorrer).
// Standard input runs take no inputs: base "." and nothing else.
Entradas toma_entradas(const std::vector<std::string>& inputs, const std::vector<std::string>& exclude,
                       std::span<const FileId> skip = {});

// The base folder of `inputs`: "." for none; for one, the input itself when it
// is a directory (following links), else its parent; for several, the longest
// common folder of their parents, compared component by component.
std::string base_folder(const std::vector<std::string>& inputs);

// `full_path` with `base` removed as a leading component prefix (kept whole
// when it does not start with it), "/"-separated, as lossy UTF-8.
std::string nombre_relativo(std::string_view full_path, std::string_view base);

// The record name of a stored file, standard input or hard link: the relative
// name, under "{snapshot}/" when the run has a snapshot name.
std::string record_name(std::string_view snapshot, std::string_view relative);

// The patterns in ZD_EXCLUDE: its non-empty lines, in order; none when the
// variable is unset or not valid UTF-8.
std::vector<std::string> exclude_patterns();

}  // namespace zd::compress
