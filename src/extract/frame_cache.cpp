#include "extract/frame_cache.h"

#include <sys/stat.h>

#include <cerrno>

#include <fmt/core.h>

#include "crypto/seal.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/oneshot_zstd.h"

namespace zd::extract {

namespace {

Error length_mismatch(uint64_t got, uint64_t raw_len) {
    return Error(fmt::format("frame descomprimido mide {} y el índice dice {}", got, raw_len));
}

Error too_large(uint64_t raw_len) {
    return Error(fmt::format("frame de {} bytes según el índice: pasa del máximo de {} bytes; índice corrupto",
                             raw_len, kMaxRawLen));
}

uint64_t archive_size_of(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw Error::sys(errno);
    return uint64_t(st.st_size);
}

}  // namespace

Bytes descodifica_frame(Bytes stored, const format::FrameRec& frame) {
    if (frame.raw_len > kMaxRawLen) throw too_large(frame.raw_len);
    Bytes data;
    switch (frame.codec) {
        case format::kStored:
            data = std::move(stored);
            break;
        case format::kZstd:
            data = descomprime_zstd(stored, size_t(frame.raw_len));
            break;
        case format::kCm:
            if (stored.size() < 10) throw Error("frame CM truncado");
            throw Error("frame zd-cm: códec no disponible en esta versión");
        default:
            throw Error(fmt::format("códec de frame desconocido ({}): ¿archivo de una versión posterior?",
                                    frame.codec));
    }
    if (data.size() != frame.raw_len) throw length_mismatch(data.size(), frame.raw_len);
    return data;
}

void comprueba_frame(const format::FrameRec& frame, uint32_t id, uint64_t archive_size, bool sealed) {
    if (frame.raw_len > kMaxRawLen) throw too_large(frame.raw_len);
    if (frame.offset > archive_size || frame.stored_len > archive_size - frame.offset) {
        throw Error(fmt::format("frame {} fuera del archivo: {} bytes en el offset {} pasan del final ({} bytes)",
                                id, frame.stored_len, frame.offset, archive_size));
    }
    // A sealed frame's length is only known once it is opened; decoding checks it.
    if (!sealed && frame.codec == format::kStored && frame.stored_len != frame.raw_len)
        throw length_mismatch(frame.stored_len, frame.raw_len);
}

Frame frame_cacheado(int fd, const format::Index& index, uint32_t frame, CacheFrames& cache) {
    if (frame >= index.frames.size())
        throw Error(fmt::format("frame {} fuera de rango: el índice tiene {}", frame, index.frames.size()));
    {
        std::unique_lock lock(cache.mutex);
        for (;;) {
            if (auto it = cache.decoded.find(frame); it != cache.decoded.end()) return it->second;
            if (!cache.in_flight.contains(frame)) break;
            cache.cambio.wait(lock);
        }
        cache.in_flight.insert(frame);
    }

    Frame result;
    try {
        const format::FrameRec& rec = index.frames[frame];
        const std::optional<crypto::Key> key = crypto::clave();
        comprueba_frame(rec, frame, archive_size_of(fd), key.has_value());
        if (cache.al_leer) cache.al_leer(frame);
        Bytes stored(size_t(rec.stored_len), 0);
        pread_exact(fd, stored.data(), stored.size(), rec.offset);
        if (key) stored = crypto::descifra(*key, stored);
        result = std::make_shared<const Bytes>(descodifica_frame(std::move(stored), rec));
    } catch (...) {
        {
            std::lock_guard lock(cache.mutex);
            cache.in_flight.erase(frame);
        }
        cache.cambio.notify_all();
        throw;
    }

    {
        std::lock_guard lock(cache.mutex);
        cache.in_flight.erase(frame);
        if (cache.decoded.emplace(frame, result).second) cache.order.push_back(frame);
        while (cache.order.size() > CacheFrames::kCapacidad) {
            cache.decoded.erase(cache.order.front());
            cache.order.pop_front();
        }
    }
    cache.cambio.notify_all();
    return result;
}

}  // namespace zd::extract
