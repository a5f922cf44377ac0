// extract and verify: one operation that opens an archive, rejects unsafe
// paths, rebuilds the selected entries on worker threads through one shared
// frame cache, checks every BLAKE3 hash and, with a destination, writes the
// entries with their metadata, then recreates hard links.
//
// Called from one thread; it starts and joins its own workers. The failure
// list belongs to the caller and is only touched by the calling thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "extract/result.h"
#include "format/index.h"

namespace zd::extract {

// Restores the entries of `archive` matching `pattern` (all without one) under
// `dest`, or only verifies them without a destination. Per-entry failures are
// appended to `failures` as "ROUND-TRIP FAIL: " lines (counted in failed) or
// "AVISO: " lines (not counted). Anything else that goes wrong is thrown.
Resultado extraer_patron(const std::string& archive, const std::optional<std::string>& dest,
                         std::vector<std::string>& failures, const std::optional<std::string>& pattern);

// How many workers an extraction of `index` runs: the processors available,
// at most 12, at most one per entry, and with zd-cm frames at most one per
// such frame and one per 2 GiB of ZD_RAM_MB.
size_t cuantos_workers(const format::Index& index);

}  // namespace zd::extract
