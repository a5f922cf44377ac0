#include "crypto/library_init.h"

#include <sodium.h>

#include <mutex>

#include "util/error.h"

namespace zd::crypto {

void ensure_sodium() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = sodium_init() >= 0; });
    if (!ok) throw Error("no se pudo iniciar libsodium");
}

}  // namespace zd::crypto
