#include "extract/frame_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "crypto/seal.h"
#include "crypto/slots.h"
#include "scratch.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/oneshot_zstd.h"

namespace {

using zd::Bytes;
using zd::extract::CacheFrames;
using zd::extract::descodifica_frame;
using zd::extract::frame_cacheado;
using zd::format::FrameRec;
using zd::format::Index;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const zd::Error& e) {
        return e.message();
    }
    return "(no error)";
}

// A file holding the given frames back to back, and the index naming them.
struct FrameFile {
    zdtest::TempDir dir;
    std::string path = dir / "frames";
    Index index;
    zd::UniqueFd fd;

    explicit FrameFile(const std::vector<std::pair<Bytes, FrameRec>>& frames) {
        std::string all;
        for (auto [stored, rec] : frames) {
            rec.offset = all.size();
            rec.stored_len = stored.size();
            all.append(stored.begin(), stored.end());
            index.frames.push_back(rec);
        }
        zdtest::spit(path, all);
        fd = zd::open_fd(path, O_RDONLY);
    }
};

std::pair<Bytes, FrameRec> zstd_frame(const std::string& text) {
    FrameRec rec;
    rec.codec = zd::format::kZstd;
    rec.raw_len = text.size();
    return {zd::comprime_zstd(bytes_of(text), 3), rec};
}

TEST(DescodificaFrame, Codecs) {
    const std::string text(1000, 'q');
    FrameRec stored{0, 5, 5, zd::format::kStored, 0};
    EXPECT_EQ(descodifica_frame(bytes_of("hello"), stored), bytes_of("hello"));
    auto [packed, rec] = zstd_frame(text);
    EXPECT_EQ(descodifica_frame(packed, rec), bytes_of(text));
}

TEST(DescodificaFrame, Failures) {
    const Bytes packed = zd::comprime_zstd(bytes_of(std::string(100, 'z')), 3);
    struct Case {
        Bytes stored;
        FrameRec rec;
        std::string message;
    };
    const std::vector<Case> cases = {
        {bytes_of("abcde"), {0, 5, 6, 0, 0}, "frame descomprimido mide 5 y el índice dice 6"},
        {Bytes(9, 1), {0, 9, 100, 2, 0}, "frame CM truncado"},
        {Bytes(10, 1), {0, 10, 100, 2, 0}, "frame zd-cm: códec no disponible en esta versión"},
        {bytes_of("x"), {0, 1, 1, 3, 0}, "códec de frame desconocido (3): ¿archivo de una versión posterior?"},
        {packed, {0, packed.size(), 101, 1, 0}, "frame descomprimido mide 100 y el índice dice 101"},
        {bytes_of("x"), {0, 1, uint64_t(3) << 30, 1, 0},
         "frame de 3221225472 bytes según el índice: pasa del máximo de 1073741824 bytes; índice corrupto"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(error_of([&] { descodifica_frame(c.stored, c.rec); }), c.message) << c.message;
    // A zstd frame longer than raw_len fails in the codec, not by overflowing.
    EXPECT_NE(error_of([&] { descodifica_frame(packed, {0, packed.size(), 99, 1, 0}); }), "(no error)");
}

TEST(FrameCacheado, ConcurrentRequestsDecodeOnce) {
    FrameFile file({zstd_frame(std::string(1 << 16, 'a'))});
    CacheFrames cache;
    std::atomic<int> reads{0};
    cache.al_leer = [&](uint32_t) {
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the others arrive
    };
    std::vector<zd::extract::Frame> got(6);
    std::vector<std::thread> threads;
    for (auto& slot : got) threads.emplace_back([&] { slot = frame_cacheado(file.fd.get(), file.index, 0, cache); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(reads.load(), 1);
    for (const auto& f : got) EXPECT_EQ(f.get(), got[0].get());
    EXPECT_EQ(*got[0], bytes_of(std::string(1 << 16, 'a')));
}

TEST(FrameCacheado, EvictsOldestInsertedFirst) {
    std::vector<std::pair<Bytes, FrameRec>> frames;
    for (int i = 0; i < 25; ++i) frames.push_back(zstd_frame("frame " + std::to_string(i)));
    FrameFile file(frames);
    CacheFrames cache;
    std::vector<uint32_t> reads;
    cache.al_leer = [&](uint32_t id) { reads.push_back(id); };
    auto get = [&](uint32_t id) { return frame_cacheado(file.fd.get(), file.index, id, cache); };

    for (uint32_t id = 0; id < 24; ++id) get(id);
    zd::extract::Frame held = get(0);  // a hit: no read, no change of order
    EXPECT_EQ(reads.size(), 24u);
    get(24);  // evicts frame 0 although it was just asked for
    EXPECT_EQ(cache.decoded.size(), 24u);
    EXPECT_EQ(*get(0), bytes_of("frame 0"));
    EXPECT_EQ(reads, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                            21, 22, 23, 24, 0}));
    EXPECT_EQ(*held, bytes_of("frame 0"));  // the evicted copy lives on with its reader
}

TEST(FrameCacheado, FailedReadIsNotCached) {
    FrameFile file({zstd_frame("content")});
    CacheFrames cache;
    int reads = 0;
    cache.al_leer = [&](uint32_t) { ++reads; };
    zd::UniqueFd write_only = zd::open_fd(file.path, O_WRONLY);
    EXPECT_EQ(error_of([&] { frame_cacheado(write_only.get(), file.index, 0, cache); }), zd::sys_text(EBADF));
    EXPECT_TRUE(cache.decoded.empty());
    EXPECT_TRUE(cache.in_flight.empty());
    EXPECT_EQ(*frame_cacheado(file.fd.get(), file.index, 0, cache), bytes_of("content"));
    EXPECT_EQ(reads, 2);
}

TEST(FrameCacheado, WaitersWakeWhenTheReadFails) {
    auto [packed, rec] = zstd_frame(std::string(5000, 'c'));
    packed[packed.size() / 2] ^= 0xff;
    packed.resize(packed.size() - 4);
    FrameFile file({{packed, rec}});
    CacheFrames cache;
    std::atomic<int> reads{0};
    cache.al_leer = [&](uint32_t) {
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    };
    std::atomic<int> errors{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back([&] {
        try {
            frame_cacheado(file.fd.get(), file.index, 0, cache);
        } catch (const zd::Error&) {
            ++errors;
        }
    });
    for (auto& t : threads) t.join();
    // Each woken waiter tries the read itself; none is left hanging.
    EXPECT_EQ(errors.load(), 3);
    EXPECT_EQ(reads.load(), 3);
    EXPECT_TRUE(cache.decoded.empty());
}

TEST(FrameCacheado, RecordsAreCheckedBeforeReading) {
    FrameFile file({zstd_frame("abc")});
    CacheFrames cache;
    cache.al_leer = [&](uint32_t) { ADD_FAILURE() << "read despite a bad record"; };
    struct Case {
        FrameRec rec;
        std::string message;
    };
    const uint64_t size = file.index.frames[0].stored_len;
    const std::vector<Case> cases = {
        {{1, size, 3, 1, 0},
         "frame 0 fuera del archivo: " + std::to_string(size) + " bytes en el offset 1 pasan del final (" +
             std::to_string(size) + " bytes)"},
        {{0, uint64_t(1) << 40, 3, 1, 0},
         "frame 0 fuera del archivo: 1099511627776 bytes en el offset 0 pasan del final (" + std::to_string(size) +
             " bytes)"},
        {{UINT64_MAX, 2, 3, 1, 0},
         "frame 0 fuera del archivo: 2 bytes en el offset 18446744073709551615 pasan del final (" +
             std::to_string(size) + " bytes)"},
        {{0, size, size + 1, 0, 0},
         "frame descomprimido mide " + std::to_string(size) + " y el índice dice " + std::to_string(size + 1)},
        {{0, size, uint64_t(2) << 30, 1, 0},
         "frame de 2147483648 bytes según el índice: pasa del máximo de 1073741824 bytes; índice corrupto"},
    };
    for (const auto& c : cases) {
        Index index;
        index.frames = {c.rec};
        EXPECT_EQ(error_of([&] { frame_cacheado(file.fd.get(), index, 0, cache); }), c.message);
    }
    EXPECT_EQ(error_of([&] { frame_cacheado(file.fd.get(), file.index, 1, cache); }),
              "frame 1 fuera de rango: el índice tiene 1");
    EXPECT_TRUE(cache.in_flight.empty());
}

TEST(FrameCacheado, SealedFramesAreOpenedWithTheInstalledKey) {
    struct KeyGuard {
        ~KeyGuard() { zd::crypto::pon_clave(std::nullopt); }
    } guard;
    zd::crypto::Key key{};
    key[0] = 7;
    auto [packed, rec] = zstd_frame("secret text");
    FrameRec stored_rec{0, 0, 5, zd::format::kStored, 0};
    FrameFile file({{zd::crypto::cifra(key, packed), rec}, {zd::crypto::cifra(key, bytes_of("plain")), stored_rec}});

    zd::crypto::pon_clave(key);
    CacheFrames cache;
    EXPECT_EQ(*frame_cacheado(file.fd.get(), file.index, 0, cache), bytes_of("secret text"));
    EXPECT_EQ(*frame_cacheado(file.fd.get(), file.index, 1, cache), bytes_of("plain"));

    key[0] = 8;
    zd::crypto::pon_clave(key);
    CacheFrames fresh;
    EXPECT_EQ(error_of([&] { frame_cacheado(file.fd.get(), file.index, 0, fresh); }),
              "no se puede descifrar: la contraseña no es correcta, o el archivo ha sido modificado");
}

}  // namespace
