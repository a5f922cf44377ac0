// The Lec cursor's numbers: a run of var and cuenta reads chosen by the first
// byte, each checked against the cursor's bounds and against put_var.
#include <cstdint>
#include <cstdlib>

#include "format/index.h"
#include "util/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t choices = data[0];
    zd::format::Lec lec(zd::ByteView(data + 1, size - 1));
    for (unsigned i = 0; lec.left() > 0; ++i) {
        const size_t before = lec.pos();
        uint64_t v = 0;
        try {
            v = (choices >> (i % 8)) & 1 ? lec.cuenta() : lec.var();
        } catch (const zd::Error&) {
            return 0;
        }
        const size_t used = lec.pos() - before;
        if (used == 0 || used > 10) std::abort();
        if ((choices >> (i % 8)) & 1 && v > lec.left()) std::abort();
        // The shortest encoding of v reads back as v and is never longer
        // than what was read.
        zd::Bytes enc;
        zd::format::put_var(enc, v);
        zd::format::Lec back(enc);
        if (back.var() != v || back.left() != 0 || enc.size() > used) std::abort();
    }
    return 0;
}
