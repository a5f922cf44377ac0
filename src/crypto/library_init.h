// libsodium must be initialised once before its primitives pick their
// implementation; every entry point of this folder that uses them calls this.
#pragma once

namespace zd::crypto {

// Thread-safe and idempotent.
void ensure_sodium();

}  // namespace zd::crypto
