#include "crypto/kdf.h"

#include <argon2.h>
#include <sodium.h>

#include <cstdlib>
#include <limits>
#include <string>

#include <fmt/core.h>

#include "crypto/stderr_text.h"
#include "util/error.h"

namespace zd::crypto {
namespace {

// The work area is handed to libargon2 aligned to 64 bytes, a cache line.
int allocate_aligned(uint8_t** memory, size_t bytes) {
    void* p = nullptr;
    if (::posix_memalign(&p, 64, bytes) != 0) {
        *memory = nullptr;
        return ARGON2_MEMORY_ALLOCATION_ERROR;
    }
    *memory = static_cast<uint8_t*>(p);
    return ARGON2_OK;
}

// libargon2 has already wiped the area when it calls this.
void free_aligned(uint8_t* memory, size_t) { std::free(memory); }

[[noreturn]] void bad_params(int code) {
    throw Error(fmt::format("parámetros de Argon2 inválidos: {}", argon2_error_message(code)));
}

[[noreturn]] void hash_failed(int code) {
    throw Error(fmt::format("derivar la clave: {}", argon2_error_message(code)));
}

// libargon2 takes non-const pointers but does not write through them
// (ARGON2_DEFAULT_FLAGS: it neither clears the password nor the secret).
uint8_t* in(ByteView v) { return const_cast<uint8_t*>(v.data()); }

constexpr size_t kMaxLen = std::numeric_limits<uint32_t>::max();

}  // namespace

Key argon2id_raw(ByteView password, ByteView salt, ByteView secret, ByteView associated,
                 uint32_t memory_kib, uint32_t passes, uint32_t lanes) {
    // The context's lengths are 32-bit: reject what would be silently cut.
    if (password.size() > kMaxLen) hash_failed(ARGON2_PWD_TOO_LONG);
    if (salt.size() > kMaxLen) hash_failed(ARGON2_SALT_TOO_LONG);
    if (secret.size() > kMaxLen) hash_failed(ARGON2_SECRET_TOO_LONG);
    if (associated.size() > kMaxLen) hash_failed(ARGON2_AD_TOO_LONG);

    Key key{};
    argon2_context ctx{};
    ctx.out = key.data();
    ctx.outlen = uint32_t(key.size());
    ctx.pwd = in(password);
    ctx.pwdlen = uint32_t(password.size());
    ctx.salt = in(salt);
    ctx.saltlen = uint32_t(salt.size());
    ctx.secret = in(secret);
    ctx.secretlen = uint32_t(secret.size());
    ctx.ad = in(associated);
    ctx.adlen = uint32_t(associated.size());
    ctx.t_cost = passes;
    ctx.m_cost = memory_kib;
    ctx.lanes = lanes;
    // The result depends on the lanes only; one thread keeps derivation off the
    // cores a run is about to use and bounds what a hostile header can ask for.
    ctx.threads = 1;
    ctx.version = ARGON2_VERSION_13;
    ctx.allocate_cbk = allocate_aligned;
    ctx.free_cbk = free_aligned;
    ctx.flags = ARGON2_DEFAULT_FLAGS;

    int rc = argon2_ctx(&ctx, Argon2_id);
    if (rc != ARGON2_OK) {
        sodium_memzero(key.data(), key.size());
        hash_failed(rc);
    }
    return key;
}

Key deriva(ByteView password, ByteView salt, const Params& params) {
    // Deliberately 32-bit, as the header's field is: the product wraps.
    const uint32_t m = params.memory_mib * 1024u;
    const uint32_t t = params.passes;
    const uint32_t p = params.lanes;
    // Our own checks, in our order; libargon2 would look at the salt first.
    if (m == 0 || uint64_t(m) < 8 * uint64_t(p)) bad_params(ARGON2_MEMORY_TOO_LITTLE);
    if (t == 0) bad_params(ARGON2_TIME_TOO_SMALL);
    if (p == 0) bad_params(ARGON2_LANES_TOO_FEW);
    if (p > ARGON2_MAX_LANES) bad_params(ARGON2_LANES_TOO_MANY);
    return argon2id_raw(password, salt, ByteView(), ByteView(), m, t, p);
}

void print_derivation_notice(const Params& params) {
    write_stderr(fmt::format("deriving key (Argon2id, {} MiB, {} passes)\u2026\n",
                             params.memory_mib, params.passes));
}

}  // namespace zd::crypto
