// The two process-wide slots of the encryption subsystem.
//
// CLAVE holds the archive key once the driver has derived it; SAL_EN_USO holds
// the salt a new archive's header must carry. Both are written on the main
// thread before any worker starts, then only read: readers take a shared lock
// just long enough to copy the value out, so nobody keeps a reference into them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "util/bytes.h"

namespace zd::crypto {

using Key = std::array<uint8_t, 32>;

// Replaces the key (nullopt empties the slot); the old key is wiped.
void pon_clave(std::optional<Key> key);
// A copy of the installed key, or nullopt when the archive is handled in the clear.
// The caller owns the copy and should wipe it when done (sodium_memzero).
std::optional<Key> clave();

// Replaces the salt for a new archive's header.
void pon_sal(Bytes salt);
// A copy of the salt; empty until pon_sal.
Bytes sal();

}  // namespace zd::crypto
