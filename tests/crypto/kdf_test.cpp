#include "crypto/kdf.h"

#include <argon2.h>
#include <gtest/gtest.h>

#include <string>

#include "support.h"

namespace zd::crypto {
namespace {

using testing::bytes_of;
using testing::Chain;
using testing::error_chain;

std::string hex(const Key& k) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : k) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// RFC 9106, the Argon2id test vector (with secret and associated data).
TEST(Kdf, Rfc9106Argon2idVector) {
    const Key tag = argon2id_raw(Bytes(32, 0x01), Bytes(16, 0x02), Bytes(8, 0x03), Bytes(12, 0x04),
                                 32, 3, 4);
    EXPECT_EQ(hex(tag), "0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659");
}

// The reference implementation's own Argon2id vector without secret or
// associated data, at 64 MiB: checks deriva's units and its choice of
// variant and version, not just the primitive.
TEST(Kdf, DerivaMatchesTheReferenceSuite) {
    const Key key = deriva(bytes_of("password"), bytes_of("somesalt"), Params{64, 2, 1});
    EXPECT_EQ(hex(key), "09316115d5cf24ed5a15a31a3ba326e5cf32edc24702987c02b6566f61913cf7");
}

TEST(Kdf, ParametersAreCheckedInOrderBeforeHashing) {
    struct Case {
        Params params;
        int code;
    };
    const Case cases[] = {
        {{0, 3, 1}, ARGON2_MEMORY_TOO_LITTLE},
        {{4194304, 3, 1}, ARGON2_MEMORY_TOO_LITTLE},  // 2^22 MiB is 2^32 KiB: wraps to 0
        {{1, 3, 129}, ARGON2_MEMORY_TOO_LITTLE},      // 1024 KiB < 8 × 129
        {{0, 0, 0}, ARGON2_MEMORY_TOO_LITTLE},
        {{1, 0, 1}, ARGON2_TIME_TOO_SMALL},
        {{1, 0, 0}, ARGON2_TIME_TOO_SMALL},
        {{1, 1, 0}, ARGON2_LANES_TOO_FEW},
        {{131072, 1, 16777216}, ARGON2_LANES_TOO_MANY},  // enough memory for 2^24 lanes
        {{131072, 0, 16777216}, ARGON2_TIME_TOO_SMALL},
    };
    // A salt libargon2 itself would refuse: the parameter checks must come first.
    const Bytes short_salt(4, 0x02);
    for (const Case& c : cases) {
        EXPECT_EQ(error_chain([&] { deriva(bytes_of("pw"), short_salt, c.params); }),
                  Chain{std::string("parámetros de Argon2 inválidos: ") + argon2_error_message(c.code)})
            << c.params.memory_mib << "/" << c.params.passes << "/" << c.params.lanes;
    }
}

TEST(Kdf, HashFailureIsReportedAsDerivation) {
    EXPECT_EQ(error_chain([] { deriva(bytes_of("pw"), Bytes(7, 0x02), Params{1, 1, 1}); }),
              Chain{std::string("derivar la clave: ") + argon2_error_message(ARGON2_SALT_TOO_SHORT)});
}

TEST(Kdf, NoticeNamesMemoryAndPasses) {
    ::testing::internal::CaptureStderr();
    print_derivation_notice(Params{64, 3, 1});
    print_derivation_notice(Params{0, 7, 2});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "deriving key (Argon2id, 64 MiB, 3 passes)\u2026\n"
              "deriving key (Argon2id, 0 MiB, 7 passes)\u2026\n");
}

}  // namespace
}  // namespace zd::crypto
