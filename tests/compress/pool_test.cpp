#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "compress/assembler.h"
#include "compress/pool.h"
#include "compress/state.h"
#include "util/error.h"
#include "util/hash.h"
#include "util/fd.h"
#include "util/oneshot_zstd.h"

namespace zc = zd::compress;
namespace zf = zd::format;

namespace {

zd::Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    zd::Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

std::string temp_path(const char* name) {
    return std::string(::testing::TempDir()) + name + std::to_string(::getpid());
}

zd::Bytes read_file(const std::string& path) {
    zd::UniqueFd fd = zd::open_fd(path, O_RDONLY);
    zd::Bytes all;
    uint8_t buf[65536];
    size_t n;
    while ((n = zd::read_up_to(fd.get(), buf, sizeof buf)) > 0) all.insert(all.end(), buf, buf + n);
    return all;
}

TEST(Writer, WritesFramesInNumberOrderWhateverTheArrivalOrder) {
    const std::string path = temp_path("writer");
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    zc::Channel<zc::DoneFrame> results(0);
    results.add_sender();
    results.add_receiver();
    for (uint32_t n : {3u, 1u, 0u, 2u}) {
        zd::Bytes payload(10 + n, uint8_t('a' + n));
        results.send(zc::DoneFrame{payload, payload.size(), n, 0, zf::kStored});
    }
    results.drop_sender();
    zc::Escrito out = zc::escribe_frames(std::move(fd), 0, false, 0, results);
    out.file.reset();

    ASSERT_EQ(out.frames.size(), 4u);
    uint64_t offset = 40;
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out.frames[i].first, i);
        EXPECT_EQ(out.frames[i].second.offset, offset);
        offset += 10 + i;
    }
    EXPECT_EQ(out.end_offset, offset);
    EXPECT_EQ(out.stored_frames, 4u);

    zd::Bytes file = read_file(path);
    ASSERT_EQ(file.size(), offset);
    // A new unencrypted archive starts with the magic and 32 zero bytes.
    EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "ZNDR0016");
    for (size_t i = 8; i < 40; ++i) EXPECT_EQ(file[i], 0) << i;
    EXPECT_EQ(file[40], 'a');
    EXPECT_EQ(file[50], 'b');
    ::unlink(path.c_str());
}

TEST(Writer, GapInNumberingIsAnError) {
    const std::string path = temp_path("writer-gap");
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    zc::Channel<zc::DoneFrame> results(0);
    results.add_sender();
    results.add_receiver();
    for (uint32_t n : {0u, 2u, 3u}) results.send(zc::DoneFrame{zd::Bytes(4), 4, n, 0, zf::kStored});
    results.drop_sender();
    try {
        zc::escribe_frames(std::move(fd), 0, false, 0, results);
        FAIL() << "expected an error";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), "2 frames quedaron sin drenar (hueco en la numeración)");
    }
    ::unlink(path.c_str());
}

TEST(Writer, AppendingWritesNoHeaderAndContinuesNumbering) {
    const std::string path = temp_path("writer-append");
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    zc::Channel<zc::DoneFrame> results(0);
    results.add_sender();
    results.add_receiver();
    results.send(zc::DoneFrame{zd::Bytes(7), 7, 5, 2, zf::kStored});
    results.drop_sender();
    zc::Escrito out = zc::escribe_frames(std::move(fd), 1000, true, 5, results);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].second.offset, 1000u);
    EXPECT_EQ(out.end_offset, 1007u);
    ::unlink(path.c_str());
}

// The store rule keeps a frame compressed only below 98 % of its size.
TEST(FrameCodec, StoresWhatDoesNotShrinkBelow98Percent) {
    zc::NIVEL = 3;
    zc::CM = false;
    auto [codec, payload] = zc::comprime_frame(zf::kOther, random_bytes(100000, 1));
    EXPECT_EQ(codec, zf::kStored);
    EXPECT_EQ(payload, random_bytes(100000, 1));

    zd::Bytes text(100000, 'x');
    auto [codec2, payload2] = zc::comprime_frame(zf::kText, text);
    EXPECT_EQ(codec2, zf::kZstd);
    EXPECT_EQ(zd::descomprime_zstd(payload2, text.size()), text);

    // Find a size where zstd lands right at the boundary: half random, half
    // constant, tuned so that 100 * packed vs 98 * raw decides.
    for (size_t random_part = 97000; random_part <= 99500; random_part += 50) {
        zd::Bytes mixed = random_bytes(random_part, 2);
        mixed.resize(100000, 0);
        size_t packed = zd::comprime_zstd(mixed, 3).size();
        auto [c, p] = zc::comprime_frame(zf::kOther, mixed);
        EXPECT_EQ(c, 100 * packed >= 98 * mixed.size() ? zf::kStored : zf::kZstd) << random_part;
    }
}

TEST(FrameCodec, MediaLevelFromEnvironment) {
    zd::Bytes text(50000, 'y');
    ::setenv("ZD_MEDIA_NIVEL", "-3", 1);
    auto [c1, p1] = zc::comprime_frame(zf::kMedia, text);
    EXPECT_EQ(p1, zd::comprime_zstd(text, -3));
    ::setenv("ZD_MEDIA_NIVEL", "x", 1);
    auto [c2, p2] = zc::comprime_frame(zf::kMedia, text);
    EXPECT_EQ(p2, zd::comprime_zstd(text, 9));
    ::unsetenv("ZD_MEDIA_NIVEL");
}

TEST(WorkerCount, EnvironmentAndMemoryCap) {
    ::setenv("ZD_WORKERS", "8", 1);
    ::setenv("ZD_RAM_MB", "100000", 1);
    EXPECT_EQ(zc::cuenta_workers(false, 64), 8u);
    ::setenv("ZD_RAM_MB", "300", 1);  // 2 x 64 MiB per worker
    EXPECT_EQ(zc::cuenta_workers(false, 64), 2u);
    ::setenv("ZD_RAM_MB", "10", 1);
    EXPECT_EQ(zc::cuenta_workers(false, 64), 1u);
    EXPECT_EQ(zc::cuenta_workers(false, 0), 8u);  // small frames: no memory cap
    ::unsetenv("ZD_WORKERS");
    ::unsetenv("ZD_RAM_MB");
}

// Through the real pool: dense numbering, duplicates stored once, frames cut
// at the lane limit, and every chunk's frame set before its frame is sent.
TEST(Assembler, DedupsAndCutsDenseFramesPerLane) {
    const std::string path = temp_path("assembler");
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    zc::NIVEL = 1;
    zc::CM = false;
    zc::SOLIDO = 0;
    zf::Index index;
    zc::Estadisticas stats;
    zc::Pool pool(std::move(fd), 40, false, 0, 2);
    zc::Assembler as(index, stats, pool.frames(), 0);

    const zd::Bytes a = random_bytes(1 << 20, 10), b = random_bytes(1 << 20, 11);
    const zd::Bytes big = random_bytes(3 << 20, 12);
    EXPECT_EQ(as.add_chunk(zf::kMedia, big), 0u);  // larger than the 2 MiB limit: a frame of its own
    EXPECT_EQ(as.add_chunk(zf::kMedia, a), 1u);
    EXPECT_EQ(as.add_chunk(zf::kText, b), 2u);
    EXPECT_EQ(as.add_chunk(zf::kText, a), 1u);  // duplicate, whatever the lane
    for (uint8_t lane = 0; lane < 3; ++lane) as.flush_lane(lane);
    as.cierra();
    zc::Escrito out = pool.shutdown();

    EXPECT_EQ(stats.unique_chunks, 3u);
    EXPECT_EQ(stats.dedup_bytes, a.size());
    EXPECT_EQ(stats.frames, 3u);
    EXPECT_EQ(as.next_frame(), 3u);
    ASSERT_EQ(index.chunks.size(), 3u);
    EXPECT_EQ(index.chunks[0].frame, 0u);  // cut when chunk 1 would overflow
    EXPECT_EQ(index.chunks[1].frame, 2u);  // media flushed after text at the end
    EXPECT_EQ(index.chunks[2].frame, 1u);
    EXPECT_EQ(index.chunks[1].offset, 0u);
    ASSERT_EQ(out.frames.size(), 3u);
    EXPECT_EQ(out.frames[0].second.raw_len, big.size());
    EXPECT_EQ(out.frames[0].second.lane, zf::kMedia);
    EXPECT_EQ(out.frames[1].second.lane, zf::kText);
    EXPECT_LT(out.frames[0].second.offset, out.frames[1].second.offset);
    ::unlink(path.c_str());
}

TEST(Assembler, FailsWhenThePoolHasGone) {
    zf::Index index;
    zc::Estadisticas stats;
    zc::Channel<zc::PendingFrame> frames(16);  // no receiver at all
    frames.add_sender();
    zc::Assembler as(index, stats, frames, 0);
    as.add_chunk(zf::kText, random_bytes(100, 1));
    try {
        as.flush_lane(zf::kText);
        FAIL() << "expected an error";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), "pool de compresión caído");
    }
}

TEST(Assembler, SeededChunksAreNeverStoredAgain) {
    zf::Index index;
    zc::Estadisticas stats;
    zc::Channel<zc::PendingFrame> frames(16);
    frames.add_sender();
    const zd::Bytes data = random_bytes(5000, 3);
    zf::ChunkRec old;
    old.hash = zd::blake3_16(data);
    index.chunks.push_back(old);
    index.chunks.push_back(zf::ChunkRec{});  // an all-zero identity is never matched
    zc::Assembler as(index, stats, frames, 7);
    as.siembra();
    EXPECT_EQ(as.add_chunk(zf::kText, data), 0u);
    EXPECT_EQ(stats.unique_chunks, 0u);
    EXPECT_EQ(index.chunks.size(), 2u);
}

}  // namespace
