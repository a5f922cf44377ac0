// Key derivation: Argon2id (RFC 9106, version 0x13) through libargon2.
// Main thread, once per run; costs `memory_mib` MiB for the duration.
#pragma once

#include <cstdint>

#include "crypto/slots.h"
#include "util/bytes.h"

namespace zd::crypto {

struct Params {
    uint32_t memory_mib = 64;
    uint32_t passes = 3;
    uint32_t lanes = 1;
};

// What every new archive uses.
inline constexpr Params kNewArchiveParams{64, 3, 1};

// The 32-byte key for `password` and `salt`. Throws "parámetros de Argon2
// inválidos: {}" for unusable parameters (checked before anything is hashed)
// and "derivar la clave: {}" when the hash itself refuses its inputs.
Key deriva(ByteView password, ByteView salt, const Params& params);

// Argon2id with libargon2 doing all the checking; deriva is this with no
// secret and no associated data, after its own parameter checks. Exposed so
// the published vectors, which use both, can check it.
Key argon2id_raw(ByteView password, ByteView salt, ByteView secret, ByteView associated,
                 uint32_t memory_kib, uint32_t passes, uint32_t lanes);

// Tells the user why the next moment is slow:
// "deriving key (Argon2id, {} MiB, {} passes)…" on standard error.
void print_derivation_notice(const Params& params);

}  // namespace zd::crypto
