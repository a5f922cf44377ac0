// Installing the key before a command touches an archive: the driver calls one
// of these on the main thread, before any worker starts. Afterwards writers and
// readers ask `clave` (and the writer `sal`); the key is never passed around.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace zd::crypto {

// The crypto header fields of an existing archive, as the container reads them.
struct CryptoHeaderFields {
    bool encrypted = false;
    std::array<uint8_t, 16> salt{};
    uint32_t memory_mib = 64;
    uint32_t passes = 3;
    uint32_t lanes = 1;
};

// For a new encrypted archive: password with confirmation, a fresh 16-byte salt,
// the notice, Argon2id 64 MiB / 3 passes / 1 lane, then pon_sal and pon_clave.
void prepara_cifrado_nuevo(const std::optional<std::string>& password_file);

// For an existing archive: when `header` marks it encrypted, password without
// confirmation, the notice with the header's cost, derivation with the header's
// salt and parameters, then pon_clave. The salt slot is left alone. Does nothing
// for an archive in the clear.
void prepara_cifrado_existente(const std::optional<std::string>& password_file,
                               const CryptoHeaderFields& header);

}  // namespace zd::crypto
