#include "crypto/stderr_text.h"

#include "util/error.h"
#include "util/fd.h"

namespace zd::crypto {

void write_stderr(std::string_view text) {
    try {
        write_all(2, ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    } catch (const Error&) {
    }
}

}  // namespace zd::crypto
