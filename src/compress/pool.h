// The compression pool and the archive writer.
//
// The driver sends PendingFrames on a bounded channel of 16; N workers compress
// them (zstd, or stored when that does not pay) and hand DoneFrames to one
// writer thread, which writes them to the archive strictly in frame-number
// order and returns their records. The Pool owns every thread and joins them:
// shutdown() on success, the destructor (after cancelling) on failure.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compress/channel.h"
#include "format/index.h"
#include "util/bytes.h"
#include "util/fd.h"

namespace zd::compress {

inline constexpr size_t kFrameChannelCapacity = 16;

struct PendingFrame {
    uint32_t number = 0;
    uint8_t lane = 0;
    Bytes data;
};

struct DoneFrame {
    Bytes payload;
    uint64_t raw_len = 0;
    uint32_t number = 0;
    uint8_t lane = 0;
    uint8_t codec = 0;
};

// What the writer hands back when the pool is shut down.
struct Escrito {
    UniqueFd file;
    uint64_t end_offset = 0;  // just after the last frame
    std::vector<std::pair<uint32_t, format::FrameRec>> frames;
    uint64_t stored_frames = 0;
};

// Worker count for a run: CPUs, ZD_WORKERS, then the memory cap (ZD_RAM_MB or
// 60 % of MemTotal) for the estimated memory per worker.
unsigned cuenta_workers(bool max, uint64_t solid_mib);

// The memory budget in MiB used by cuenta_workers.
uint64_t presupuesto_ram_mb();

// One frame's codec choice and the 98 % store rule: (codec, payload).
std::pair<uint8_t, Bytes> comprime_frame(uint8_t lane, Bytes data);

// The writer's work: receives DoneFrames until every sender has gone and
// writes them in frame-number order from `next`, after the header for a new
// archive. Throws on a write failure or a gap in the numbering.
Escrito escribe_frames(UniqueFd file, uint64_t offset, bool appending, uint32_t next, Channel<DoneFrame>& results);

class Pool {
public:
    // `file` is positioned where frames start. A new archive gets its header
    // first (so frames start at 40); an appended one starts at start_offset.
    Pool(UniqueFd file, uint64_t start_offset, bool appending, uint32_t first_frame, unsigned workers);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The frame channel, with one sender already registered for the driver:
    // whoever sends on it drops that sender once when no more frames come.
    Channel<PendingFrame>& frames() { return frames_; }

    // Call after the last frame was sent and every sender dropped: joins the
    // workers in start order, then the writer. Throws the first error in that
    // order ("worker panic"/"writer panic" for crashes).
    Escrito shutdown();

private:
    void worker_loop(size_t slot);
    void writer_loop(UniqueFd file, uint64_t offset, bool appending, uint32_t next);

    Channel<PendingFrame> frames_{kFrameChannelCapacity};
    Channel<DoneFrame> results_{0};
    std::vector<std::thread> workers_;
    std::vector<std::exception_ptr> worker_errors_;
    std::thread writer_;
    std::exception_ptr writer_error_;
    std::optional<Escrito> written_;
    bool joined_ = false;
};

}  // namespace zd::compress
