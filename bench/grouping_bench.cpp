// Cost of grouping by similarity before a run: many small files (open, read
// and hash dominate) and one large file (only its first MiB is read). Files
// live under $TMPDIR and are read from the page cache after the first pass.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "compress/grouping.h"
#include "util/fd.h"

namespace {

namespace zc = zd::compress;

zd::Bytes random_bytes(size_t n, std::mt19937_64& rng) {
    zd::Bytes b(n);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = rng();
        for (size_t k = 0; k < 8 && i + k < n; ++k) b[i + k] = uint8_t(v >> (8 * k));
    }
    return b;
}

void write_file(const std::string& path, const zd::Bytes& data, uint64_t size) {
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    zd::write_all(fd.get(), data);
    // The rest is a hole: grouping never reads past the first MiB.
    if (size > data.size() && ::ftruncate(fd.get(), off_t(size)) != 0) std::abort();
}

struct Corpus {
    std::string dir;
    std::vector<std::string> small;      // 10,000 files of 1 to 8 KiB, a tenth of them copies
    std::vector<std::string> large_pair;  // a 1 GiB file and a small one

    Corpus() {
        std::string tmpl = std::filesystem::temp_directory_path() / "zd-grouping-bench-XXXXXX";
        dir = ::mkdtemp(tmpl.data());
        std::mt19937_64 rng(7);
        std::vector<zd::Bytes> seen;
        for (int i = 0; i < 10'000; ++i) {
            zd::Bytes data = (i % 10 == 9) ? seen[rng() % seen.size()] : random_bytes(1024 + rng() % 7168, rng);
            if (i % 10 != 9) seen.push_back(data);
            small.push_back(dir + "/s" + std::to_string(i));
            write_file(small.back(), data, data.size());
        }
        large_pair = {dir + "/large", dir + "/tiny"};
        write_file(large_pair[0], random_bytes(2 << 20, rng), uint64_t(1) << 30);
        write_file(large_pair[1], random_bytes(3000, rng), 3000);
    }
    ~Corpus() { std::filesystem::remove_all(dir); }
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

void BM_group_10000_small(benchmark::State& state) {
    const auto& files = corpus().small;
    for (auto _ : state) {
        auto list = files;
        zc::agrupa_por_similitud(list, unsigned(state.range(0)));
        benchmark::DoNotOptimize(list.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(files.size()));
}
BENCHMARK(BM_group_10000_small)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_group_large_file(benchmark::State& state) {
    const auto& files = corpus().large_pair;
    for (auto _ : state) {
        auto list = files;
        zc::agrupa_por_similitud(list, 1);
        benchmark::DoNotOptimize(list.data());
    }
}
BENCHMARK(BM_group_large_file)->Unit(benchmark::kMillisecond)->UseRealTime();

// The sketch alone over one MiB in memory: the cut rule and the hashing.
void BM_sketch_one_mib(benchmark::State& state) {
    std::mt19937_64 rng(9);
    const zd::Bytes data = random_bytes(zc::kSketchPrefix, rng);
    for (auto _ : state) benchmark::DoNotOptimize(zc::sketch_of(data));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_sketch_one_mib)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
