#include "util/oneshot_zstd.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>

#include "util/error.h"

namespace zd {

namespace {

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};

void check(size_t rc, const char* step) {
    if (ZSTD_isError(rc)) throw Error(ZSTD_getErrorName(rc)).context(step);
}

}  // namespace

int zstd_window_log(uint64_t length) {
    uint64_t n = length < 2 ? 2 : length;
    int log = 0;
    while ((uint64_t(1) << log) < n) ++log;
    if (log < 10) log = 10;
    if (log > 27) log = 27;
    return log;
}

Bytes comprime_zstd(ByteView data, int level) {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) throw Error("ZSTD_createCCtx devolvió NULL").context("crear compresor zstd");
    check(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level), "crear compresor zstd");
    check(ZSTD_CCtx_loadDictionary(cctx.get(), nullptr, 0), "crear compresor zstd");
    check(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, zstd_window_log(data.size())),
          "fijar la ventana al tamaño del frame");
    Bytes out(ZSTD_compressBound(data.size()));
    size_t n = ZSTD_compress2(cctx.get(), out.data(), out.size(), data.data(), data.size());
    check(n, "comprimir");
    out.resize(n);
    return out;
}

Bytes descomprime_zstd(ByteView data, size_t capacity) {
    // The capacity comes from an index that may be hostile, so memory grows with
    // the data actually produced; a declared content size is trusted up to a
    // bound that covers every frame this program writes.
    constexpr uint64_t kTrustedSize = uint64_t(300) << 20;
    unsigned long long declared = ZSTD_getFrameContentSize(data.data(), data.size());
    size_t initial = 1 << 16;
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != ZSTD_CONTENTSIZE_ERROR) {
        if (declared > capacity) throw Error(ZSTD_getErrorName(size_t(-ZSTD_error_dstSize_tooSmall)));
        if (declared <= kTrustedSize) initial = size_t(declared);
    }
    if (initial > capacity) initial = capacity;

    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) throw Error("ZSTD_createDCtx devolvió NULL");
    Bytes out(initial);
    ZSTD_inBuffer in{data.data(), data.size(), 0};
    size_t produced = 0;
    for (;;) {
        ZSTD_outBuffer ob{out.data(), out.size(), produced};
        size_t rc = ZSTD_decompressStream(dctx.get(), &ob, &in);
        if (ZSTD_isError(rc)) throw Error(ZSTD_getErrorName(rc));
        produced = ob.pos;
        if (rc == 0) break;  // frame complete
        if (ob.pos < ob.size) {
            if (in.pos == in.size) throw Error(ZSTD_getErrorName(size_t(-ZSTD_error_srcSize_wrong)));
            continue;
        }
        if (out.size() >= capacity) throw Error(ZSTD_getErrorName(size_t(-ZSTD_error_dstSize_tooSmall)));
        size_t grown = out.size() * 2;
        out.resize(grown > capacity || grown < out.size() ? capacity : grown);
    }
    out.resize(produced);
    return out;
}

}  // namespace zd
