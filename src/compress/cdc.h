// Content-defined chunking: the gear table, the two parameter sets, the cut
// rule, and the in-memory and streaming chunkers built on it.
//
// Every chunker cuts through `corte`, so the same bytes give the same chunks
// however they arrive. The parameter sets are computed once per process and
// may be read from any thread; a chunker object belongs to one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

#include "util/bytes.h"

namespace zd::compress {

// One pseudo-random 64-bit value per byte value; fixed forever, since changing
// it would move every chunk boundary and defeat dedup against old archives.
extern const std::array<uint64_t, 256> TABLA_GEAR;

// min < avg <= max. The masks follow from avg: with b = floor(log2(avg)),
// mask_s has b+2 one-bits and mask_l has max(b-2, 0), both from bit 15 up.
struct CdcParams {
    uint64_t min = 0;
    uint64_t avg = 0;
    uint64_t max = 0;
    uint64_t mask_s = 0;
    uint64_t mask_l = 0;

    friend bool operator==(const CdcParams&, const CdcParams&) = default;
};

constexpr uint64_t mask_from_bit15(unsigned ones) {
    if (ones == 0) return 0;
    if (ones + 15 >= 64) return ~uint64_t(0) << 15;  // the upper bits fall off 64
    return ((uint64_t(1) << ones) - 1) << 15;
}

constexpr CdcParams params_with_masks(uint64_t min, uint64_t avg, uint64_t max) {
    unsigned b = 0;
    for (uint64_t v = avg; v > 1; v >>= 1) ++b;
    return CdcParams{min, avg, max, mask_from_bit15(b + 2), mask_from_bit15(b >= 2 ? b - 2 : 0)};
}

// Ordinary data: whole files, standard input, filtered executables and logs.
inline constexpr CdcParams kCdcDefaults = params_with_masks(262'144, 1'048'576, 4'194'304);
// Inflated deflate data, which dedups at a much finer grain.
inline constexpr CdcParams kCdcPlanoDefaults = params_with_masks(4'096, 16'384, 4'194'304);

// The sets for the process, read from ZD_CDC_* and ZD_CDC_PLANO_* on first use.
const CdcParams& cdc_params();
const CdcParams& cdc_params_plano();

// What cdc_params() does, without the cache: reads <prefix>_MIN/_AVG/_MAX
// (positive strict decimals; anything else takes that value's default), falls
// back to `defaults` with a warning on `out` when they are incoherent, and,
// when `announce` is set, reports accepted values that differ from the defaults.
CdcParams params_from_env(std::string_view prefix, const CdcParams& defaults, bool announce,
                          std::FILE* out = stderr);

// The cut rule: the length of the chunk that starts at d[0], given the n bytes
// available from there. At least 1 when n > 0; looks at no byte past max.
size_t corte(const uint8_t* d, size_t n, const CdcParams& p);

// Chunks of a range already in memory, as views into it (no copying).
class MemoryChunker {
public:
    MemoryChunker(ByteView data, const CdcParams& p) : data_(data), p_(p) {}
    std::optional<ByteView> next();

private:
    ByteView data_;
    CdcParams p_;
    size_t pos_ = 0;
};

// Chunks of an open descriptor, each copied out into its own buffer. The
// descriptor is borrowed: the caller keeps it open while this object lives.
// Keeps at least 2*max bytes ahead of each cut, so it cuts exactly where
// MemoryChunker would on the same bytes.
class TrozosFlujo {
public:
    enum class Origen {
        fichero,
        // Standard input: EBADF (a closed descriptor) is the end of the input.
        entrada_estandar,
    };

    TrozosFlujo(int fd, const CdcParams& p, Origen origen = Origen::fichero);

    // The next chunk, or nullopt at the end; throws the read's system error.
    std::optional<Bytes> next();
    // The same chunk as a view into the buffer, valid until the next call:
    // saves the copy when the caller copies it anyway.
    std::optional<ByteView> next_view();

    // Starts over on another descriptor, keeping the buffer.
    void reinicia(int fd);

private:
    void refill();
    void reserve(size_t capacity);

    int fd_;
    Origen origen_;
    CdcParams p_;
    std::unique_ptr<uint8_t[]> buf_;
    size_t capacity_ = 0;
    size_t filled_ = 0;
    size_t start_ = 0;
    bool eof_ = false;
};

}  // namespace zd::compress
