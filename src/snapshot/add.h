// anadir: appends a snapshot to an existing archive. The archive is copied to
// a working file beside it, the compression driver continues that copy in
// append mode (new frames after the old ones, every stored chunk known to the
// deduplication), and the copy replaces the archive only once it opens.
//
// Runs on the calling thread (the driver starts its own); takes the archive's
// lock for its whole length. When the archive is encrypted its key must be
// installed beforehand (crypto::pon_clave): new frames and index are sealed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compress/stats.h"

namespace zd::snapshot {

// Adds `inputs` to `archive` as snapshot `name` with the given compression
// options, and returns the run's statistics. On any failure the archive is
// left as it was; the working copy ("{archive without .zd}.zd.parcial") is
// removed, except when the finished copy fails to open: it is then kept so
// that it can be examined, and the next add overwrites it.
compress::Estadisticas anadir(const std::string& archive, const std::vector<std::string>& inputs,
                              const std::string& name, int32_t level, bool jpeg, bool grouping, bool max,
                              uint64_t solid);

}  // namespace zd::snapshot
