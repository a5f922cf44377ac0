// The assembler's copy into lane buffers (with a receiver that drops frames,
// so only the driver's side is measured) and frame cache hits.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <thread>

#include "compress/assembler.h"
#include "compress/state.h"
#include "extract/frame_cache.h"
#include "format/index.h"
#include "util/fd.h"

namespace {

zd::Bytes random_bytes(size_t n, uint64_t seed) {
    zd::Bytes out(n);
    std::mt19937_64 rng(seed);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

// New 1 MiB chunks into the text lane: hashing, dedup lookup and the copy.
void BM_assembler_new_chunks(benchmark::State& state) {
    zd::compress::SOLIDO = 0;
    zd::compress::CM = false;
    const zd::Bytes base = random_bytes(1 << 20, 1);
    zd::compress::Channel<zd::compress::PendingFrame> frames(16);
    frames.add_receiver();
    frames.add_sender();
    std::thread sink([&] {
        while (frames.recv()) {
        }
    });
    {
        zd::format::Index index;
        zd::compress::Estadisticas stats;
        zd::compress::Assembler as(index, stats, frames, 0);
        zd::Bytes chunk = base;
        uint64_t n = 0;
        for (auto _ : state) {
            // A different chunk each time, so nothing deduplicates.
            std::memcpy(chunk.data(), &n, sizeof n);
            ++n;
            benchmark::DoNotOptimize(as.add_chunk(zd::format::kText, chunk));
        }
        as.flush_lane(zd::format::kText);
        as.cierra();
    }
    sink.join();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(base.size()));
}
BENCHMARK(BM_assembler_new_chunks);

// A hit: the frame is cached, so the cost is the lock and the map lookup.
void BM_frame_cache_hit(benchmark::State& state) {
    const std::string path = "/tmp/zd-bench-frame-" + std::to_string(::getpid());
    const zd::Bytes data = random_bytes(1 << 16, 2);
    {
        zd::UniqueFd out = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        zd::write_all(out.get(), data);
    }
    zd::UniqueFd fd = zd::open_fd(path, O_RDONLY);
    zd::format::Index index;
    index.frames.push_back(zd::format::FrameRec{0, data.size(), data.size(), zd::format::kStored, 0});
    zd::extract::CacheFrames cache;
    zd::extract::frame_cacheado(fd.get(), index, 0, cache);
    for (auto _ : state) benchmark::DoNotOptimize(zd::extract::frame_cacheado(fd.get(), index, 0, cache));
    ::unlink(path.c_str());
}
BENCHMARK(BM_frame_cache_hit);

}  // namespace

BENCHMARK_MAIN();
