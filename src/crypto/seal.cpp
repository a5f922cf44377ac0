#include "crypto/seal.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include <fmt/core.h>

#include "crypto/random.h"
#include "crypto/library_init.h"
#include "util/error.h"

namespace zd::crypto {
namespace {

const char kCannotOpen[] =
    "no se puede descifrar: la contraseña no es correcta, o el archivo ha sido modificado";

}  // namespace

Bytes seal_with_nonce(const Key& key, const Nonce& nonce, ByteView aad, ByteView plaintext) {
    ensure_sodium();
    // libsodium aborts the process past this limit; refuse it here instead.
    if (plaintext.size() >= kMaxSealedPlaintext) throw Error("fallo al cifrar");
    Bytes out(plaintext.size() + kSealOverhead);
    std::copy(nonce.begin(), nonce.end(), out.begin());
    uint8_t* cipher = out.data() + kNonceLen;
    uint8_t* tag = cipher + plaintext.size();
    if (crypto_aead_chacha20poly1305_ietf_encrypt_detached(
            cipher, tag, nullptr, plaintext.data(), plaintext.size(), aad.data(), aad.size(),
            nullptr, nonce.data(), key.data()) != 0) {
        throw Error("fallo al cifrar");
    }
    return out;
}

Bytes open_sealed(const Key& key, ByteView aad, ByteView blob) {
    ensure_sodium();
    if (blob.size() < kSealOverhead) {
        throw Error(fmt::format("bloque cifrado demasiado corto ({} B): archivo corrupto", blob.size()));
    }
    const size_t len = blob.size() - kSealOverhead;
    if (len >= kMaxSealedPlaintext) throw Error(kCannotOpen);
    const uint8_t* nonce = blob.data();
    const uint8_t* cipher = nonce + kNonceLen;
    const uint8_t* tag = cipher + len;
    Bytes plain(len);
    // libsodium checks the tag in constant time and decrypts only when it matches.
    if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(plain.data(), nullptr, cipher, len, tag,
                                                           aad.data(), aad.size(), nonce,
                                                           key.data()) != 0) {
        throw Error(kCannotOpen);
    }
    return plain;
}

Bytes cifra(const Key& key, ByteView plaintext) {
    Bytes drawn = azar(kNonceLen);
    Nonce nonce;
    std::copy(drawn.begin(), drawn.end(), nonce.begin());
    return seal_with_nonce(key, nonce, ByteView(), plaintext);
}

Bytes descifra(const Key& key, ByteView blob) { return open_sealed(key, ByteView(), blob); }

}  // namespace zd::crypto
