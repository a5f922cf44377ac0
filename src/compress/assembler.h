// The Assembler: deduplicates chunks and packs new ones into one open frame
// per lane, cutting a frame when the next chunk would overflow the lane's
// limit. Cut frames go to the pool's bounded channel, numbered densely across
// lanes in the order they are cut. Only the driver thread touches it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "compress/channel.h"
#include "compress/pool.h"
#include "compress/stats.h"
#include "format/index.h"
#include "util/bytes.h"

namespace zd::compress {

// Frame size limit of a lane under the current NIVEL/CM/SOLIDO settings.
uint64_t limite_lane(uint8_t lane);

struct Hash16Hasher {
    size_t operator()(const Hash16& h) const {
        size_t v;
        static_assert(sizeof v <= sizeof h);
        __builtin_memcpy(&v, h.data(), sizeof v);
        return v;
    }
};

class Assembler {
public:
    // `index` is the index in progress (its chunk list grows here); frames are
    // numbered from `next_frame`. Takes over a sender already registered on
    // `frames` and drops it in cierra().
    Assembler(format::Index& index, Estadisticas& stats, Channel<PendingFrame>& frames, uint32_t next_frame);
    ~Assembler();
    Assembler(const Assembler&) = delete;
    Assembler& operator=(const Assembler&) = delete;

    // Makes every chunk already in the index (with a non-zero identity) known.
    void siembra();

    // Returns the id of an equal chunk already known, or stores this one.
    // Throws "pool de compresión caído" when the pool has gone.
    uint64_t add_chunk(uint8_t lane, ByteView bytes);
    // The same, for a caller that already holds the chunk's identity.
    uint64_t add_chunk(uint8_t lane, ByteView bytes, const Hash16& id);

    // Cuts the lane's open frame if it holds any byte.
    void flush_lane(uint8_t lane);

    // Lets the pool know that no more frames come.
    void cierra();

    uint32_t next_frame() const { return next_frame_; }
    Estadisticas& stats() { return stats_; }
    format::Index& index() { return index_; }

private:
    struct LaneBuffer {
        Bytes data;
        std::vector<uint64_t> pending;
    };
    void fresh_buffer(uint8_t lane);

    format::Index& index_;
    Estadisticas& stats_;
    Channel<PendingFrame>& frames_;
    uint32_t next_frame_;
    bool sending_ = true;
    LaneBuffer lanes_[3];
    std::unordered_map<Hash16, uint64_t, Hash16Hasher> known_;
};

}  // namespace zd::compress
