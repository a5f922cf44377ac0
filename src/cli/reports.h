// The text each command prints after its operation returns. Pure functions:
// the dispatcher decides where the text goes (stdout unless noted) and measures
// the seconds. Users and wrapper scripts parse these lines, so every wording,
// alignment and number format here is fixed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "compress/stats.h"
#include "extract/result.h"
#include "format/index.h"

namespace zd::cli {

// Summary after `compress`, including the "note:" block when the archive came
// out larger than its input.
std::string compress_report(const compress::Estadisticas& st, double seconds);

// Summary after `add`; `archive_size` is the archive's size on disk afterwards
// (0 when it could not be read).
std::string add_report(const compress::Estadisticas& st, std::string_view snapshot,
                       uint64_t archive_size, double seconds);

// The "extracted ..." line, plus the round-trip OK line when nothing failed.
// The failure lines themselves go to stderr before this, one per line.
std::string extract_report(const extract::Resultado& r, double seconds);

// The "OK: ..." line of a `verify` in which no file failed.
std::string verify_report(const extract::Resultado& r, double seconds);

// One `list` line for an entry: kind letter, permissions, size, path.
std::string list_line(const format::FileRec& rec);

// The line after the listing, for stderr: entries printed and their total size.
std::string list_count_line(uint64_t entries, uint64_t bytes);

struct Listing {
    std::string out;  // for stdout: one line per matching entry
    std::string err;  // for stderr: the count line
};

// The whole `list` output: entries matching `pattern` (all without one).
Listing list_report(const format::Index& index, const std::optional<std::string>& pattern);

// The `info` block for the whole index.
std::string info_report(const format::Index& index);

// Summary after `forget`, with the sizes before and after compaction.
std::string forget_report(std::string_view snapshot, uint64_t before, uint64_t after,
                          double seconds);

}  // namespace zd::cli
