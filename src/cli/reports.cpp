#include "cli/reports.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "format/pattern.h"

namespace zd::cli {

// fmt reads "{:.1}" as significant digits; the reports mean decimals, so every
// float below is formatted with an explicit "f".
namespace {

double mib(uint64_t bytes) { return double(bytes) / 1048576.0; }

// MiB per second; a run too fast to time still gets a finite figure.
double rate(uint64_t bytes, double seconds) { return mib(bytes) / std::max(seconds, 0.001); }

// 100 * part / whole, with a zero whole counted as 1.
double percent(double part, uint64_t whole) { return 100.0 * part / double(std::max<uint64_t>(whole, 1)); }

}  // namespace

std::string compress_report(const compress::Estadisticas& st, double seconds) {
    std::string s;
    auto out = std::back_inserter(s);
    fmt::format_to(out, "input:      {:>12} B ({:.1f} MiB, {} files; {} symlinks skipped)\n",
                   st.input_bytes, mib(st.input_bytes), st.files, st.symlinks_skipped);
    fmt::format_to(out, "output:     {:>12} B ({:.1f} MiB)  ratio {:.2f}%\n", st.output_bytes,
                   mib(st.output_bytes), percent(double(st.output_bytes), st.input_bytes));
    fmt::format_to(out, "dedup:      {:>12} B saved ({} unique chunks of {})\n", st.dedup_bytes,
                   st.unique_chunks, st.chunks_seen);
    fmt::format_to(out, "frames:     {} ({} stored as incompressible)\n", st.frames,
                   st.stored_frames);
    if (st.excluded != 0)
        fmt::format_to(out, "excluded:   {} entries skipped by --exclude\n", st.excluded);
    if (st.gz_streams != 0)
        fmt::format_to(out,
                       "preflate:   {} .gz unwrapped ({:.1f} MiB DEFLATE -> {:.1f} MiB plain, "
                       "{:.1f} MiB of corrections)\n",
                       st.gz_streams, mib(st.deflate_bytes), mib(st.plain_bytes),
                       mib(st.correction_bytes));
    if (st.jpg_files != 0 || st.jpg_rejected != 0)
        fmt::format_to(out,
                       "jxl:        {} .jpg transcoded ({:.1f} MiB -> {:.1f} MiB, {:.2f}%), "
                       "{} rejected to store\n",
                       st.jpg_files, mib(st.jpg_bytes), mib(st.jxl_bytes),
                       percent(double(st.jxl_bytes), st.jpg_bytes), st.jpg_rejected);
    fmt::format_to(out, "time:       {:.1f}s  ({:.1f} MB/s)\n", seconds,
                   rate(st.input_bytes, seconds));
    if (st.output_bytes > st.input_bytes) {
        fmt::format_to(out, "\nnote: the archive is {} B larger than the input ({:.1f}%).\n",
                       st.output_bytes - st.input_bytes,
                       percent(double(st.output_bytes), st.input_bytes));
        // Below a page of input the container's fixed cost dominates; above it
        // the data itself does not compress.
        if (st.input_bytes >= 4096)
            s += "      This data does not compress -already-compressed video, images\n"
                 "      or archives- so all that is left is the container overhead.\n"
                 "      Deduplication and snapshots still work; the size does not shrink.\n";
        else
            s += "      That is the fixed cost of the container (118 B) plus ~25 B\n"
                 "      per file. On anything this small it cannot be avoided.\n";
    }
    return s;
}

std::string add_report(const compress::Estadisticas& st, std::string_view snapshot,
                       uint64_t archive_size, double seconds) {
    std::string s;
    auto out = std::back_inserter(s);
    fmt::format_to(out, "snapshot «{}»: {} files, {:.1f} MiB of input\n", snapshot, st.files,
                   mib(st.input_bytes));
    fmt::format_to(out, "unchanged:  {:>12} files reused whole ({:.1f} MiB not re-read)\n",
                   st.unchanged_files, mib(st.unchanged_bytes));
    fmt::format_to(out, "dedup:      {:>12} B reused ({} new chunks of {})\n", st.dedup_bytes,
                   st.unique_chunks, st.chunks_seen);
    fmt::format_to(out, "archive:    {:>12} B\n", archive_size);
    fmt::format_to(out, "time:       {:.1f}s\n", seconds);
    return s;
}

std::string extract_report(const extract::Resultado& r, double seconds) {
    std::string s = fmt::format("extracted {} files, {:.1f} MiB in {:.1f}s ({:.1f} MB/s)\n",
                                r.files, mib(r.bytes), seconds, rate(r.bytes, seconds));
    if (r.failed == 0) s += fmt::format("blake3 round-trip: OK ({}/{})\n", r.files, r.files);
    return s;
}

std::string verify_report(const extract::Resultado& r, double seconds) {
    return fmt::format("OK: {} files, {:.1f} MiB verified byte-exact in {:.1f}s ({:.1f} MB/s)\n",
                       r.files, mib(r.bytes), seconds, rate(r.bytes, seconds));
}

std::string list_line(const format::FileRec& rec) {
    // A link target decides before the mode: a symlink's mode bits say little.
    char kind = '-';
    if (rec.link_target)
        kind = 'l';
    else if ((rec.mode & 0170000) == 0040000)
        kind = 'd';
    else if (rec.hard_link)
        kind = 'h';
    return fmt::format("{}{:04o} {:>12} {}\n", kind, rec.mode & 07777, rec.size, rec.path);
}

std::string list_count_line(uint64_t entries, uint64_t bytes) {
    return fmt::format("{} entries, {:.1f} MiB of original data\n", entries, mib(bytes));
}

Listing list_report(const format::Index& index, const std::optional<std::string>& pattern) {
    Listing l;
    uint64_t entries = 0, bytes = 0;
    for (const auto& rec : index.files) {
        if (pattern && !format::casa_patron(rec.path, *pattern)) continue;
        l.out += list_line(rec);
        ++entries;
        bytes += rec.size;
    }
    l.err = list_count_line(entries, bytes);
    return l;
}

std::string info_report(const format::Index& index) {
    uint64_t stored = 0, original = 0;
    std::array<uint64_t, 3> per_lane{};
    for (const auto& f : index.frames) {
        if (f.codec == format::kStored) ++stored;
        if (f.lane < per_lane.size()) ++per_lane[f.lane];
    }
    for (const auto& rec : index.files) original += rec.size;

    std::string s;
    auto out = std::back_inserter(s);
    fmt::format_to(out, "files: {}   chunks: {}   frames: {} ({} stored)   zstd level: {}\n",
                   index.files.size(), index.chunks.size(), index.frames.size(), stored,
                   index.level);
    fmt::format_to(out, "original bytes: {} ({:.1f} MiB)\n", original, mib(original));
    constexpr std::array<const char*, 3> kLaneNames{"text", "media", "other"};
    for (size_t lane = 0; lane < per_lane.size(); ++lane)
        if (per_lane[lane] != 0)
            fmt::format_to(out, "  {} lane: {} frames\n", kLaneNames[lane], per_lane[lane]);
    return s;
}

std::string forget_report(std::string_view snapshot, uint64_t before, uint64_t after,
                          double seconds) {
    // Compaction can grow an archive when the rewritten index compresses worse
    // and no frame was dropped. The saving is then shown as what it is, a
    // negative number of bytes and a negative percentage, instead of the huge
    // figure an unsigned difference would wrap to.
    const bool grew = after > before;
    const uint64_t magnitude = grew ? after - before : before - after;
    const std::string freed = grew ? fmt::format("-{}", magnitude) : fmt::format("{}", magnitude);
    const double freed_pct = percent(grew ? -double(magnitude) : double(magnitude), before);

    std::string s;
    auto out = std::back_inserter(s);
    fmt::format_to(out, "snapshot «{}» removed and archive compacted\n", snapshot);
    fmt::format_to(out, "before:     {:>12} B ({:.1f} MiB)\n", before, mib(before));
    fmt::format_to(out, "after:      {:>12} B ({:.1f} MiB)\n", after, mib(after));
    fmt::format_to(out, "freed:      {:>12} B ({:.1f}%)\n", freed, freed_pct);
    fmt::format_to(out, "time:       {:.1f}s\n", seconds);
    return s;
}

}  // namespace zd::cli
