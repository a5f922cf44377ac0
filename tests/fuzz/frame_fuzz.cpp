// descodifica_frame for codecs 0 to 3. Input: codec byte, raw_len as three
// little-endian bytes (so at most 16 MiB), then the stored bytes.
#include <cstdint>
#include <cstdlib>

#include "extract/frame_cache.h"
#include "util/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    zd::format::FrameRec rec;
    rec.codec = data[0] % 4;
    rec.raw_len = uint64_t(data[1]) | uint64_t(data[2]) << 8 | uint64_t(data[3]) << 16;
    rec.stored_len = size - 4;
    try {
        const zd::Bytes out = zd::extract::descodifica_frame(zd::Bytes(data + 4, data + size), rec);
        if (out.size() != rec.raw_len) std::abort();
    } catch (const zd::Error&) {
    }
    return 0;
}
