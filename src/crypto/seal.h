// Sealing of frames and of the index blob: ChaCha20-Poly1305 (RFC 8439) under a
// fresh random nonce per blob. A sealed blob is nonce (12) ‖ ciphertext ‖ tag
// (16), 28 bytes longer than its plaintext, bound to the key only.
// Reentrant: any thread may seal or open, each with its own copy of the key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/slots.h"
#include "util/bytes.h"

namespace zd::crypto {

inline constexpr size_t kNonceLen = 12;
inline constexpr size_t kTagLen = 16;
inline constexpr size_t kSealOverhead = kNonceLen + kTagLen;
// The cipher's own limit: 2^32 − 1 blocks of 64 bytes.
inline constexpr uint64_t kMaxSealedPlaintext = (uint64_t(1) << 38) - 64;

using Nonce = std::array<uint8_t, kNonceLen>;

// Seals `plaintext` under a nonce from azar. Throws the azar errors, or
// "fallo al cifrar" when the plaintext reaches the cipher's limit.
Bytes cifra(const Key& key, ByteView plaintext);

// Opens a blob made by cifra. Throws "bloque cifrado demasiado corto ({} B):
// archivo corrupto" under 28 bytes, and "no se puede descifrar: la contraseña no
// es correcta, o el archivo ha sido modificado" when the tag does not match, in
// which case nothing is decrypted.
Bytes descifra(const Key& key, ByteView blob);

// The primitives under cifra and descifra, with associated data, which our
// blobs leave empty; exposed so they can be checked against published vectors.
Bytes seal_with_nonce(const Key& key, const Nonce& nonce, ByteView aad, ByteView plaintext);
Bytes open_sealed(const Key& key, ByteView aad, ByteView blob);

}  // namespace zd::crypto
