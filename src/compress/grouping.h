// Reordering the files to store so that similar ones sit together, which puts
// their data into the same frames where the compressor can use the likeness.
//
// Similarity is judged on each file's first MiB only: a sketch of the four
// smallest hashes of its small content-defined chunks. Files whose sketches
// share a value are linked, transitively, and each group moves to the place
// of its earliest member. Called from the driver thread; it starts and joins
// its own reader threads and keeps nothing between calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "compress/cdc.h"
#include "util/bytes.h"

namespace zd::compress {

// Four chunk values in ascending order; kEmptyValue marks an unused place.
using Sketch = std::array<uint64_t, 4>;
inline constexpr uint64_t kEmptyValue = ~uint64_t(0);
inline constexpr Sketch kEmptySketch = {kEmptyValue, kEmptyValue, kEmptyValue, kEmptyValue};

// Only this much of each file is looked at.
inline constexpr size_t kSketchPrefix = 1'048'576;
// Much finer than the storage chunks: a sketch needs several chunks per file.
inline constexpr CdcParams kSketchCdc = params_with_masks(1'024, 4'096, 16'384);

// The sketch of `prefix` (already cut to at most kSketchPrefix bytes): the
// four smallest values among its chunks, each the first 8 bytes of the
// chunk's BLAKE3-256 read little-endian; repeated values are kept.
Sketch sketch_of(ByteView prefix);

// The sketch of the file at `path`, reading into `buf` (kSketchPrefix bytes,
// reused between calls). A file that cannot be opened or read, or is empty,
// has the empty sketch.
Sketch sketch_of_file(const std::string& path, Bytes& buf);

// The new order of positions 0..n-1: files linked through shared sketch
// values form groups, groups come in the order of their earliest member, and
// each keeps its members' relative order.
std::vector<size_t> order_by_sketches(const std::vector<Sketch>& sketches);

// Reorders `files` in place by similarity, sketching on up to `threads`
// threads (0 counts as 1). Lists of fewer than two files are left alone
// without reading anything. Never fails; the result depends only on the
// files' contents and the list order.
void agrupa_por_similitud(std::vector<std::string>& files, unsigned threads);

}  // namespace zd::compress
