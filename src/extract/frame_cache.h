// Turning a frame's stored bytes into its decoded data, and the cache through
// which the extraction workers share decoded frames.
//
// One CacheFrames belongs to one extraction run and is shared by all of its
// workers; frame_cacheado may be called from any number of threads at once.
// Decoded frames are immutable and reference counted: a frame evicted from the
// cache stays alive while a reader still holds it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "format/index.h"
#include "util/bytes.h"

namespace zd::extract {

// No frame this program writes comes near this (solid frames top out at
// 256 MiB); a larger raw_len is a corrupt or hostile index, refused before any
// buffer is sized from it.
inline constexpr uint64_t kMaxRawLen = uint64_t(1) << 30;

using Frame = std::shared_ptr<const Bytes>;

// Decodes one frame by its codec (0 stored, 1 zstd, 2 zd-cm) and checks the
// result against raw_len. Consumes the stored bytes.
Bytes descodifica_frame(Bytes stored, const format::FrameRec& frame);

// Checks a frame record against the archive it lives in before anything is
// read or allocated for it: inside the file, raw_len within kMaxRawLen, and a
// clear stored frame's two lengths equal. `id` only names the frame in messages.
void comprueba_frame(const format::FrameRec& frame, uint32_t id, uint64_t archive_size, bool sealed);

struct CacheFrames {
    static constexpr size_t kCapacidad = 24;

    std::mutex mutex;
    std::condition_variable cambio;  // notified after every read, good or bad

    // Guarded by mutex. order and decoded always hold the same ids.
    std::deque<uint32_t> order;  // oldest first
    std::unordered_map<uint32_t, Frame> decoded;
    std::unordered_set<uint32_t> in_flight;

    // Called without the lock just before a frame is read from the archive.
    // Set before the workers start; lets tests count and stall reads.
    std::function<void(uint32_t frame)> al_leer;
};

// The decoded frame `frame` of `index`: from the cache, or read through `fd`
// (pread, so the descriptor's position is irrelevant), opened with the
// installed key when there is one (crypto::clave), and decoded once however
// many workers ask for it at the same time. Failures are not cached.
Frame frame_cacheado(int fd, const format::Index& index, uint32_t frame, CacheFrames& cache);

}  // namespace zd::extract
