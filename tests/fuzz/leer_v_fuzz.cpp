// leer_v over arbitrary bytes, with the flag set of one archive version taken
// from the first byte. Whatever it accepts must survive a round trip through
// escribir (which writes the version-16 form, the missing fields as zeros).
#include <cstdint>
#include <cstdlib>

#include "format/index.h"
#include "util/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int version = 12 + data[0] % 5;
    zd::format::IndexFlags flags;
    flags.chunk_hashes = version >= 13;
    flags.owners = version >= 14;
    flags.xattrs = version >= 16;
    zd::format::Index index;
    try {
        index = zd::format::leer_v(zd::ByteView(data + 1, size - 1), flags);
    } catch (const zd::Error&) {
        return 0;
    }
    const zd::Bytes again = zd::format::escribir(index);
    if (!(zd::format::leer_v(again, zd::format::IndexFlags{}) == index)) std::abort();
    return 0;
}
