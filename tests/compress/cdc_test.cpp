#include "compress/cdc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"

namespace {

using zd::Bytes;
using zd::ByteView;
using zd::compress::CdcParams;
using zd::compress::corte;
using zd::compress::kCdcDefaults;
using zd::compress::kCdcPlanoDefaults;
using zd::compress::MemoryChunker;
using zd::compress::params_from_env;
using zd::compress::params_with_masks;
using zd::compress::TABLA_GEAR;
using zd::compress::TrozosFlujo;

// The same generator is easy to write anywhere, so the expected cuts below
// were worked out apart from this code.
Bytes lcg_bytes(size_t n, uint64_t seed) {
    Bytes out(n);
    uint64_t x = seed;
    for (auto& b : out) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        b = uint8_t(x >> 56);
    }
    return out;
}

Bytes random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(n);
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = rng();
        for (size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = uint8_t(v >> (8 * k));
    }
    return out;
}

std::vector<size_t> memory_lengths(ByteView data, const CdcParams& p) {
    std::vector<size_t> out;
    MemoryChunker c(data, p);
    while (auto chunk = c.next()) out.push_back(chunk->size());
    return out;
}

std::vector<Bytes> stream_chunks(int fd, const CdcParams& p, TrozosFlujo::Origen origen) {
    std::vector<Bytes> out;
    TrozosFlujo t(fd, p, origen);
    while (auto chunk = t.next()) out.push_back(std::move(*chunk));
    return out;
}

TEST(TablaGear, MatchesTheFixedValues) {
    const std::map<size_t, uint64_t> spots = {
        {0, 0x7f6c280beaa8e3e7},   {1, 0xe47119871cf9abe0},   {63, 0xe607081cc1b20de0},
        {64, 0x351f3316f6f811fb},  {127, 0x1125eef550989796}, {128, 0xc97dafb2889c8339},
        {200, 0xc5c97693e0e02d1c}, {254, 0x380966d3b880979b}, {255, 0x7b3aedae0dcf1074},
    };
    for (auto [i, v] : spots) EXPECT_EQ(TABLA_GEAR[i], v) << "index " << i;
    // XOR catches a wrong digit anywhere; the positional fold also catches swaps.
    uint64_t x = 0, fold = 0;
    for (uint64_t v : TABLA_GEAR) {
        x ^= v;
        fold = fold * 31 + v;
    }
    EXPECT_EQ(x, 0x0d8686c26be519eaULL);
    EXPECT_EQ(fold, 0x48078c28f5a2f398ULL);
}

TEST(CdcParams, MasksFollowFromAvg) {
    struct Case {
        uint64_t avg, mask_s, mask_l;
    };
    const Case cases[] = {
        {1'048'576, 0x1FFFFF8000, 0x1FFFF8000},
        {16'384, 0x7FFF8000, 0x7FF8000},
        {1'572'864, 0x1FFFFF8000, 0x1FFFF8000},  // floor of log2: same as 1 MiB
        {2, 0x38000, 0},                         // b = 1: the loose mask is empty
    };
    for (const auto& c : cases) {
        CdcParams p = params_with_masks(1, c.avg, c.avg);
        EXPECT_EQ(p.mask_s, c.mask_s) << c.avg;
        EXPECT_EQ(p.mask_l, c.mask_l) << c.avg;
    }
    EXPECT_EQ(kCdcDefaults, params_with_masks(262'144, 1'048'576, 4'194'304));
    EXPECT_EQ(kCdcPlanoDefaults, params_with_masks(4'096, 16'384, 4'194'304));
}

TEST(Corte, CutsWhereTheRuleSays) {
    const CdcParams small = params_with_masks(64, 256, 1024);
    struct Case {
        const char* name;
        Bytes data;
        CdcParams p;
        std::vector<size_t> lengths;
    };
    std::string text;
    for (int i = 0; i < 150; ++i) text += "the quick brown fox jumps over the lazy dog\n";
    const Case cases[] = {
        // Cuts under avg (strict mask), over it (loose mask) and at min+1.
        {"random",
         lcg_bytes(12000, 1),
         small,
         {267, 265, 275, 292, 268, 265, 261, 65,  326, 256, 219, 295, 405, 285,
          336, 86,  279, 405, 265, 157, 266, 271, 288, 367, 69,  368, 112, 510,
          390, 266, 440, 275, 325, 72,  450, 317, 316, 279, 269, 324, 458, 296}},
        {"zeros never match, so max decides", Bytes(5000, 0), small, {1024, 1024, 1024, 1024, 904}},
        {"text", Bytes(text.begin(), text.end()), small,
         {268, 264, 264, 264, 264, 264, 264, 264, 264, 264, 264, 264, 264,
          264, 264, 264, 264, 264, 264, 264, 264, 264, 264, 264, 260}},
        {"plano defaults",
         lcg_bytes(150000, 7),
         kCdcPlanoDefaults,
         {18432, 17675, 17534, 22950, 16715, 21638, 18418, 16638}},
    };
    for (const auto& c : cases) EXPECT_EQ(memory_lengths(c.data, c.p), c.lengths) << c.name;
}

TEST(Corte, ShortRestIsOneChunk) {
    const Bytes data = random_bytes(kCdcDefaults.min + 1, 3);
    for (size_t n : {size_t(1), size_t(1000), size_t(kCdcDefaults.min)})
        EXPECT_EQ(corte(data.data(), n, kCdcDefaults), n);
    EXPECT_TRUE(memory_lengths({}, kCdcDefaults).empty());
    EXPECT_EQ(memory_lengths(ByteView(data.data(), kCdcDefaults.min), kCdcDefaults),
              std::vector<size_t>{kCdcDefaults.min});
}

TEST(MemoryChunker, DefaultsKeepChunksWithinBounds) {
    // Random data cuts by the masks; zeros only ever cut at max.
    const Bytes inputs[] = {random_bytes(40 << 20, 11), Bytes(10 << 20, 0)};
    for (const auto& data : inputs) {
        MemoryChunker c(data, kCdcDefaults);
        size_t pos = 0;
        std::vector<size_t> lengths;
        while (auto chunk = c.next()) {
            EXPECT_EQ(chunk->data(), data.data() + pos) << "views into the input, in order";
            pos += chunk->size();
            lengths.push_back(chunk->size());
        }
        ASSERT_EQ(pos, data.size());
        ASSERT_GT(lengths.size(), 2u);
        for (size_t i = 0; i < lengths.size(); ++i) {
            EXPECT_LE(lengths[i], kCdcDefaults.max) << i;
            if (i + 1 < lengths.size()) {
                EXPECT_GE(lengths[i], kCdcDefaults.min) << i;
            }
        }
    }
}

TEST(MemoryChunker, EditResynchronises) {
    const Bytes before = random_bytes(16 << 20, 5);
    const size_t at = 8 << 20;
    Bytes after = before;
    const uint8_t edit[5] = {'e', 'd', 'i', 't', '!'};
    after.insert(after.begin() + at, edit, edit + 5);

    auto hashes = [](ByteView data, std::vector<size_t>* ends) {
        std::vector<zd::Hash16> out;
        MemoryChunker c(data, kCdcDefaults);
        size_t pos = 0;
        while (auto chunk = c.next()) {
            out.push_back(zd::blake3_16(*chunk));
            pos += chunk->size();
            if (ends) ends->push_back(pos);
        }
        return out;
    };
    std::vector<size_t> ends;
    const auto a = hashes(before, &ends);
    const auto b = hashes(after, nullptr);

    size_t prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
           a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
        ++suffix;
    // Every chunk that ends before the edit survives, and at most the chunk
    // holding the edit and the one after it change.
    for (size_t i = 0; i < ends.size() && ends[i] <= at; ++i) EXPECT_LT(i, prefix);
    EXPECT_LE(a.size() - prefix - suffix, 2u);
    EXPECT_GE(suffix, 3u);
}

// ZD_CDC_* set for one scope, and put back as they were.
class EnvGuard {
public:
    explicit EnvGuard(std::vector<std::pair<std::string, std::optional<std::string>>> vars) {
        for (auto& [name, value] : vars) {
            const char* old = getenv(name.c_str());
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    ~EnvGuard() {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct EnvResult {
    CdcParams params;
    std::string printed;
};

EnvResult from_env(const char* prefix, const CdcParams& defaults, bool announce,
                   std::optional<std::string> min, std::optional<std::string> avg,
                   std::optional<std::string> max) {
    const std::string p = prefix;
    EnvGuard env({{p + "_MIN", min}, {p + "_AVG", avg}, {p + "_MAX", max}});
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* out = open_memstream(&buf, &len);
    EnvResult r;
    r.params = params_from_env(prefix, defaults, announce, out);
    std::fclose(out);
    r.printed.assign(buf, len);
    std::free(buf);
    return r;
}

TEST(CdcEnv, OverridesAreCheckedAndReported) {
    using S = std::optional<std::string>;
    const S unset;
    struct Case {
        const char* prefix;
        CdcParams defaults;
        bool announce;
        S min, avg, max;
        CdcParams want;
        const char* printed;
    };
    const CdcParams mine = params_with_masks(4096, 65536, 1048576);
    const Case cases[] = {
        {"ZD_CDC", kCdcDefaults, true, "4096", "65536", "1048576", mine,
         "[cdc] min=4096 avg=65536 max=1048576 (por ZD_CDC_*)\n"},
        {"ZD_CDC", kCdcDefaults, true, "2000000", unset, unset, kCdcDefaults,
         "aviso: ZD_CDC_* incoherentes (2000000/1048576/4194304); se usan los de siempre\n"},
        {"ZD_CDC", kCdcDefaults, true, unset, unset, unset, kCdcDefaults, ""},
        {"ZD_CDC", kCdcDefaults, true, "262144", "1048576", "4194304", kCdcDefaults, ""},
        // Each unusable value quietly takes its own default.
        {"ZD_CDC", kCdcDefaults, true, "0", "", "-4194304", kCdcDefaults, ""},
        {"ZD_CDC", kCdcDefaults, true, "+", "1e6", "18446744073709551616", kCdcDefaults, ""},
        {"ZD_CDC", kCdcDefaults, true, "++4096", " 65536", "4194304 ", kCdcDefaults, ""},
        {"ZD_CDC", kCdcDefaults, true, "+4096", unset, unset,
         params_with_masks(4096, 1048576, 4194304),
         "[cdc] min=4096 avg=1048576 max=4194304 (por ZD_CDC_*)\n"},
        {"ZD_CDC", kCdcDefaults, true, "1048576", unset, unset, kCdcDefaults,
         "aviso: ZD_CDC_* incoherentes (1048576/1048576/4194304); se usan los de siempre\n"},
        {"ZD_CDC", kCdcDefaults, true, unset, unset, "1048576", params_with_masks(262144, 1048576, 1048576),
         "[cdc] min=262144 avg=1048576 max=1048576 (por ZD_CDC_*)\n"},
        {"ZD_CDC_PLANO", kCdcPlanoDefaults, false, "1024", "8192", unset,
         params_with_masks(1024, 8192, 4194304), ""},
        {"ZD_CDC_PLANO", kCdcPlanoDefaults, false, unset, unset, "8192", kCdcPlanoDefaults,
         "aviso: ZD_CDC_PLANO_* incoherentes (4096/16384/8192); se usan los de siempre\n"},
    };
    for (const auto& c : cases) {
        auto r = from_env(c.prefix, c.defaults, c.announce, c.min, c.avg, c.max);
        const std::string what = std::string(c.prefix) + " " + c.min.value_or("-") + "/" +
                                 c.avg.value_or("-") + "/" + c.max.value_or("-");
        EXPECT_EQ(r.params, c.want) << what;
        EXPECT_EQ(r.printed, c.printed) << what;
    }
}

TEST(CdcEnvDeathTest, ProcessSetsAreReadOnceAndAnnouncedOnce) {
    // A fresh process, so the once-only sets are computed under this test's environment.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("ZD_CDC_MIN", "4096", 1);
            setenv("ZD_CDC_AVG", "65536", 1);
            setenv("ZD_CDC_MAX", "1048576", 1);
            setenv("ZD_CDC_PLANO_MIN", "99999", 1);
            std::vector<std::thread> threads;
            std::vector<const CdcParams*> seen(4);
            for (auto& s : seen) threads.emplace_back([&s] { s = &zd::compress::cdc_params(); });
            for (auto& t : threads) t.join();
            setenv("ZD_CDC_MIN", "8192", 1);  // too late: the set is fixed
            bool ok = zd::compress::cdc_params() == params_with_masks(4096, 65536, 1048576);
            for (auto* s : seen) ok = ok && s == &zd::compress::cdc_params();
            ok = ok && zd::compress::cdc_params_plano() == kCdcPlanoDefaults;
            std::fflush(stderr);
            std::_Exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0),
        "^\\[cdc\\] min=4096 avg=65536 max=1048576 \\(por ZD_CDC_\\*\\)\n"
        "aviso: ZD_CDC_PLANO_\\* incoherentes \\(99999/16384/4194304\\); se usan los de siempre\n$");
}

// Streaming must cut exactly where the in-memory chunker does, whatever the
// read sizes and wherever the buffer compacts.
class TrozosFlujoTest : public testing::Test {
protected:
    void expect_same_as_memory(const std::vector<Bytes>& got, ByteView data, const CdcParams& p,
                               const char* what) {
        MemoryChunker c(data, p);
        size_t i = 0;
        while (auto want = c.next()) {
            ASSERT_LT(i, got.size()) << what;
            ASSERT_TRUE(std::equal(want->begin(), want->end(), got[i].begin(), got[i].end()))
                << what << ": chunk " << i;
            ++i;
        }
        EXPECT_EQ(i, got.size()) << what;
    }

    std::filesystem::path temp_file(ByteView data) {
        char name[] = "/tmp/zd_cdc_test_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        zd::UniqueFd owner(fd);
        zd::write_all(fd, data);
        files_.push_back(name);
        return name;
    }

    ~TrozosFlujoTest() override {
        for (auto& f : files_) std::filesystem::remove(f);
    }

    std::vector<std::filesystem::path> files_;
};

// Reads a pipe to its end, so that a chunker that stopped early fails its
// test instead of leaving the writer blocked forever.
void drain(int fd) {
    Bytes sink(65536);
    while (zd::read_up_to(fd, sink.data(), sink.size()) > 0) {
    }
}

const CdcParams kSmall = params_with_masks(4096, 16384, 65536);

TEST_F(TrozosFlujoTest, FileCutsLikeMemory) {
    const Bytes data = random_bytes(3 << 20, 21);
    for (const auto& [p, name] : {std::pair{kSmall, "small"}, std::pair{kCdcDefaults, "defaults"}}) {
        for (size_t len : {size_t(0), size_t(1), size_t(p.min), data.size()}) {
            ByteView view(data.data(), len);
            zd::UniqueFd fd = zd::open_fd(temp_file(view), O_RDONLY);
            ASSERT_TRUE(fd);
            expect_same_as_memory(stream_chunks(fd.get(), p, TrozosFlujo::Origen::fichero), view,
                                  p, name);
        }
    }
    // Zeros cut only at max, so every cut sits right at the buffered limit.
    const Bytes zeros(kSmall.max * 9 + 17, 0);
    zd::UniqueFd fd = zd::open_fd(temp_file(zeros), O_RDONLY);
    expect_same_as_memory(stream_chunks(fd.get(), kSmall, TrozosFlujo::Origen::fichero), zeros,
                          kSmall, "zeros");
}

TEST_F(TrozosFlujoTest, PipeWithUnevenWritesCutsLikeMemory) {
    const Bytes data = random_bytes(12 << 20, 22);
    for (auto origen : {TrozosFlujo::Origen::fichero, TrozosFlujo::Origen::entrada_estandar}) {
        for (const CdcParams& p : {kSmall, kCdcDefaults}) {
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            zd::UniqueFd rd(fds[0]), wr(fds[1]);
            std::thread writer([&] {
                const size_t steps[] = {1, 7, 4096, 70000, 333, 262144, 65536, 12345};
                size_t pos = 0;
                for (size_t k = 0; pos < data.size(); ++k) {
                    size_t n = std::min(steps[k % 8], data.size() - pos);
                    zd::write_all(wr.get(), ByteView(data.data() + pos, n));
                    pos += n;
                }
                wr.reset();
            });
            auto got = stream_chunks(rd.get(), p, origen);
            drain(rd.get());
            writer.join();
            expect_same_as_memory(got, data, p, "pipe");
        }
    }
}

TEST_F(TrozosFlujoTest, WaitsForTwiceMaxAndShortReadsAreNotTheEnd) {
    const Bytes data = random_bytes(3 * kSmall.max, 23);
    const size_t held_back = 2 * kSmall.max - 1;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    zd::UniqueFd rd(fds[0]), wr(fds[1]);
    std::atomic<bool> released{false};
    std::thread writer([&] {
        // A short first read, then all but one byte of 2*max; the reader must
        // still be waiting when the rest arrives.
        zd::write_all(wr.get(), ByteView(data.data(), 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        zd::write_all(wr.get(), ByteView(data.data() + 1000, held_back - 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        released = true;
        zd::write_all(wr.get(), ByteView(data.data() + held_back, data.size() - held_back));
        wr.reset();
    });
    std::vector<Bytes> got;
    TrozosFlujo t(rd.get(), kSmall);
    if (auto first = t.next()) {
        EXPECT_TRUE(released) << "cut with fewer than 2*max bytes buffered";
        got.push_back(std::move(*first));
    }
    while (auto chunk = t.next()) got.push_back(std::move(*chunk));
    drain(rd.get());
    writer.join();
    expect_same_as_memory(got, data, kSmall, "held-back pipe");
}

TEST(TrozosFlujo, ReadErrors) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    zd::UniqueFd rd(fds[0]), wr(fds[1]);
    // Reading a write-only end fails with EBADF: an error for a file, the end
    // for standard input.
    TrozosFlujo file(wr.get(), kSmall, TrozosFlujo::Origen::fichero);
    try {
        file.next();
        ADD_FAILURE() << "no error";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), zd::sys_text(EBADF));
    }
    TrozosFlujo input(wr.get(), kSmall, TrozosFlujo::Origen::entrada_estandar);
    EXPECT_EQ(input.next(), std::nullopt);
    // Any other error is an error for standard input too.
    zd::UniqueFd dir = zd::open_fd("/", O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(dir);
    TrozosFlujo from_dir(dir.get(), kSmall, TrozosFlujo::Origen::entrada_estandar);
    try {
        from_dir.next();
        ADD_FAILURE() << "no error";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), zd::sys_text(EISDIR));
    }
}

}  // namespace
