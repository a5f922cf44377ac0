// Random bytes for salts and nonces, from the kernel and nowhere else.
#pragma once

#include <cstddef>

#include "util/bytes.h"

namespace zd::crypto {

// n bytes read from /dev/urandom. Throws "abrir /dev/urandom para generar
// aleatorios" or "leer aleatorios" with the system error as cause; there is
// deliberately no fallback source. Safe to call from any thread.
Bytes azar(size_t n);

}  // namespace zd::crypto
