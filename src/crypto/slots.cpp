#include "crypto/slots.h"

#include <sodium.h>

#include <mutex>
#include <shared_mutex>
#include <utility>

namespace zd::crypto {
namespace {

template <typename T>
struct Slot {
    std::shared_mutex lock;
    T value{};
};

Slot<std::optional<Key>> CLAVE;
Slot<Bytes> SAL_EN_USO;

}  // namespace

void pon_clave(std::optional<Key> key) {
    std::unique_lock guard(CLAVE.lock);
    if (CLAVE.value) sodium_memzero(CLAVE.value->data(), CLAVE.value->size());
    CLAVE.value = key;
    // `key` is our own copy of the caller's value: do not leave it on the stack.
    if (key) sodium_memzero(key->data(), key->size());
}

std::optional<Key> clave() {
    std::shared_lock guard(CLAVE.lock);
    return CLAVE.value;
}

void pon_sal(Bytes salt) {
    std::unique_lock guard(SAL_EN_USO.lock);
    SAL_EN_USO.value = std::move(salt);
}

Bytes sal() {
    std::shared_lock guard(SAL_EN_USO.lock);
    return SAL_EN_USO.value;
}

}  // namespace zd::crypto
