// Throughput of the cut rule and of BLAKE3 over the same 64 MiB of random
// data: the two passes every stored byte goes through.
#include <benchmark/benchmark.h>

#include <random>

#include "compress/cdc.h"
#include "util/hash.h"

namespace {

const zd::Bytes& random_data() {
    static const zd::Bytes data = [] {
        zd::Bytes out(64 << 20);
        std::mt19937_64 rng(42);
        for (size_t i = 0; i < out.size(); i += 8) {
            uint64_t v = rng();
            for (int k = 0; k < 8; ++k) out[i + k] = uint8_t(v >> (8 * k));
        }
        return out;
    }();
    return data;
}

// Chunks the whole buffer; bytes skipped below min count as processed, as
// they do for real input.
void chunk_all(benchmark::State& state, const zd::compress::CdcParams& p) {
    const zd::Bytes& data = random_data();
    for (auto _ : state) {
        size_t pos = 0, chunks = 0;
        while (pos < data.size()) {
            pos += zd::compress::corte(data.data() + pos, data.size() - pos, p);
            ++chunks;
        }
        benchmark::DoNotOptimize(chunks);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void BM_corte_defaults(benchmark::State& state) { chunk_all(state, zd::compress::kCdcDefaults); }
BENCHMARK(BM_corte_defaults)->Unit(benchmark::kMillisecond);

// Small min: nearly every byte is hashed, so this is the loop's own speed.
void BM_corte_plano(benchmark::State& state) { chunk_all(state, zd::compress::kCdcPlanoDefaults); }
BENCHMARK(BM_corte_plano)->Unit(benchmark::kMillisecond);

void BM_blake3(benchmark::State& state) {
    const zd::Bytes& data = random_data();
    for (auto _ : state) benchmark::DoNotOptimize(zd::blake3_256(data));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_blake3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
