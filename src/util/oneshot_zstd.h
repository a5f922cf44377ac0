// One-shot zstd compression and decompression, as every frame and index uses it.
#pragma once

#include "util/bytes.h"

namespace zd {

// The window log matched to a frame of `length` bytes: ceil(log2(max(length, 2)))
// clamped to 10..27, so the window covers the frame and never exceeds 128 MiB.
int zstd_window_log(uint64_t length);

// Compresses `data` as one zstd frame at `level` with the matched window.
// Throws zd::Error with the library's error name under the step that failed.
Bytes comprime_zstd(ByteView data, int level);

// Decompresses one zstd frame into a buffer of `capacity` bytes and returns
// what it produced (possibly shorter). Throws the library's error name.
Bytes descomprime_zstd(ByteView data, size_t capacity);

}  // namespace zd
