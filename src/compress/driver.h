// comprimir_pleno: the one routine that turns input files into archive
// content. It walks the inputs, cuts every file into deduplicated chunks,
// packs them into per-lane frames that the pool compresses and the writer
// stores in order, then closes the archive with its index and footer.
//
// Runs on the calling (driver) thread; the pool's threads are its own and are
// joined before it returns, on success and on failure alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compress/stats.h"
#include "format/index.h"

namespace zd::compress {

// The previous archive state of an append run.
struct Previos {
    format::Index index;
    uint64_t frames_end = 0;  // offset where the previous frame area ends
};

struct OpcionesRun {
    std::vector<std::string> inputs;
    std::string output;
    int32_t level = 19;
    bool jpeg = true;
    bool grouping = true;
    bool max = false;
    uint64_t solid = 64;
    std::optional<Previos> previous;
    std::string snapshot;  // may be empty
    bool from_stdin = false;
    // Files the walk must never read besides the output (an added snapshot's
    // original archive, when its working copy is the output).
    std::vector<std::string> also_skip;
};

// A new archive is written to a temporary file beside `output` and renamed
// over it only once complete and flushed to disk, so a failed run leaves any
// previous archive at `output` untouched. In append mode `output` is the
// working copy, written in place.
Estadisticas comprimir_pleno(const OpcionesRun& options);

}  // namespace zd::compress
