#include "compress/assembler.h"

#include <cstring>

#include "compress/cdc.h"
#include "compress/progress.h"
#include "compress/state.h"
#include "util/error.h"
#include "util/hash.h"

namespace zd::compress {

uint64_t limite_lane(uint8_t lane) {
    const uint64_t solid = SOLIDO.load();
    if (solid != 0) return solid << 20;
    if (CM.load() && (lane == format::kText || lane == format::kOther)) return 32u << 20;
    switch (lane) {
        case format::kText: return 8u << 20;
        case format::kMedia: return 2u << 20;
        default: return 4u << 20;
    }
}

Assembler::Assembler(format::Index& index, Estadisticas& stats, Channel<PendingFrame>& frames, uint32_t next_frame)
    : index_(index), stats_(stats), frames_(frames), next_frame_(next_frame) {
    for (uint8_t lane = 0; lane < 3; ++lane) fresh_buffer(lane);
}

Assembler::~Assembler() { cierra(); }

void Assembler::cierra() {
    if (!sending_) return;
    sending_ = false;
    frames_.drop_sender();
}

void Assembler::fresh_buffer(uint8_t lane) {
    // Room for the limit plus one maximum chunk: appending never reallocates.
    lanes_[lane].data = Bytes();
    lanes_[lane].data.reserve(limite_lane(lane) + cdc_params().max);
}

void Assembler::siembra() {
    const Hash16 zero{};
    for (uint64_t i = 0; i < index_.chunks.size(); ++i) {
        const Hash16& h = index_.chunks[i].hash;
        if (h != zero) known_.emplace(h, i);
    }
}

uint64_t Assembler::add_chunk(uint8_t lane, ByteView bytes) {
    return add_chunk(lane, bytes, cron(Fase::hash, [&] { return blake3_16(bytes); }));
}

uint64_t Assembler::add_chunk(uint8_t lane, ByteView bytes, const Hash16& id) {
    if (!known_.empty()) {
        if (auto it = known_.find(id); it != known_.end()) {
            stats_.dedup_bytes += bytes.size();
            return it->second;
        }
    }
    LaneBuffer& buf = lanes_[lane];
    if (!buf.data.empty() && buf.data.size() + bytes.size() > limite_lane(lane)) flush_lane(lane);

    const uint64_t id_index = index_.chunks.size();
    index_.chunks.push_back(format::ChunkRec{id, 0xFFFFFFFFu, uint32_t(buf.data.size()), uint32_t(bytes.size())});
    known_.emplace(id, id_index);
    ++stats_.unique_chunks;
    if (!PROG_INDICE_FIRME.load()) PROG_INDICE += 36;

    cron(Fase::dedup_copiar, [&] { buf.data.insert(buf.data.end(), bytes.begin(), bytes.end()); });
    buf.pending.push_back(id_index);
    return id_index;
}

void Assembler::flush_lane(uint8_t lane) {
    LaneBuffer& buf = lanes_[lane];
    if (buf.data.empty()) return;
    const uint32_t n = next_frame_++;
    for (uint64_t id : buf.pending) index_.chunks[id].frame = n;
    buf.pending.clear();
    const bool sent = cron(Fase::esperar, [&] {
        PendingFrame frame{n, lane, std::move(buf.data)};
        fresh_buffer(lane);
        PROG_PLANO_TOTAL += frame.data.size();
        return frames_.send(std::move(frame));
    });
    if (!sent) throw Error("la cola de frames no tiene receptores").context("pool de compresión caído");
    ++stats_.frames;
}

}  // namespace zd::compress
