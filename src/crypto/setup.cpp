#include "crypto/setup.h"

#include <sodium.h>

#include <utility>

#include "crypto/kdf.h"
#include "crypto/password.h"
#include "crypto/random.h"
#include "crypto/slots.h"

namespace zd::crypto {

void prepara_cifrado_nuevo(const std::optional<std::string>& password_file) {
    SecretBytes password = contrasena(password_file, true);
    Bytes salt = azar(16);
    print_derivation_notice(kNewArchiveParams);
    Key key = deriva(password.view(), salt, kNewArchiveParams);
    password = SecretBytes();  // only the key outlives the derivation
    pon_sal(std::move(salt));
    pon_clave(key);
    sodium_memzero(key.data(), key.size());
}

void prepara_cifrado_existente(const std::optional<std::string>& password_file,
                               const CryptoHeaderFields& header) {
    if (!header.encrypted) return;
    SecretBytes password = contrasena(password_file, false);
    const Params params{header.memory_mib, header.passes, header.lanes};
    print_derivation_notice(params);
    Key key = deriva(password.view(), header.salt, params);
    password = SecretBytes();
    pon_clave(key);
    sodium_memzero(key.data(), key.size());
}

}  // namespace zd::crypto
