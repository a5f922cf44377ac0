#include "crypto/setup.h"

#include <argon2.h>
#include <gtest/gtest.h>

#include <string>

#include "crypto/kdf.h"
#include "crypto/slots.h"
#include "support.h"

namespace zd::crypto {
namespace {

using testing::bytes_of;
using testing::Chain;
using testing::error_chain;
using testing::ScopedEnv;
using testing::StdinNotTerminal;

// The slots are process-wide: every test starts them empty.
class SetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        pon_clave(std::nullopt);
        pon_sal({});
    }
    void TearDown() override { SetUp(); }

    StdinNotTerminal stdin_{};
};

TEST_F(SetupTest, SlotsHandOutCopiesOfWhatWasPut) {
    Key k{};
    k[0] = 7;
    pon_clave(k);
    k[0] = 8;  // the slot kept its own copy
    ASSERT_TRUE(clave().has_value());
    EXPECT_EQ((*clave())[0], 7);
    pon_clave(std::nullopt);
    EXPECT_FALSE(clave().has_value());

    pon_sal(Bytes{1, 2, 3});
    EXPECT_EQ(sal(), (Bytes{1, 2, 3}));
}

TEST_F(SetupTest, NewArchiveGetsFreshSaltAndTheDerivedKey) {
    ScopedEnv env("ZD_PASSWORD", "correct horse");
    ::testing::internal::CaptureStderr();
    prepara_cifrado_nuevo(std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "deriving key (Argon2id, 64 MiB, 3 passes)\u2026\n");

    const Bytes salt = sal();
    ASSERT_EQ(salt.size(), 16u);
    EXPECT_NE(salt, Bytes(16, 0));
    ASSERT_TRUE(clave().has_value());
    EXPECT_EQ(*clave(), deriva(bytes_of("correct horse"), salt, Params{64, 3, 1}));
}

TEST_F(SetupTest, EncryptedArchiveGetsTheKeyFromItsHeaderAndKeepsTheSaltSlot) {
    ScopedEnv env("ZD_PASSWORD", "pw");
    CryptoHeaderFields header;
    header.encrypted = true;
    header.salt.fill(0x5a);
    header.memory_mib = 1;
    header.passes = 2;
    header.lanes = 2;
    pon_sal(Bytes{9});

    ::testing::internal::CaptureStderr();
    prepara_cifrado_existente(std::nullopt, header);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "deriving key (Argon2id, 1 MiB, 2 passes)\u2026\n");

    ASSERT_TRUE(clave().has_value());
    EXPECT_EQ(*clave(), deriva(bytes_of("pw"), header.salt, Params{1, 2, 2}));
    EXPECT_EQ(sal(), Bytes{9});
}

TEST_F(SetupTest, ArchiveInTheClearAsksForNothing) {
    ScopedEnv env("ZD_PASSWORD", std::nullopt);  // asking would fail: no source at all
    ::testing::internal::CaptureStderr();
    prepara_cifrado_existente(std::nullopt, CryptoHeaderFields{});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(clave().has_value());
}

TEST_F(SetupTest, BadHeaderParametersFailAfterTheNotice) {
    ScopedEnv env("ZD_PASSWORD", "pw");
    CryptoHeaderFields header;
    header.encrypted = true;
    header.memory_mib = 0;
    ::testing::internal::CaptureStderr();
    const Chain chain = error_chain([&] { prepara_cifrado_existente(std::nullopt, header); });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "deriving key (Argon2id, 0 MiB, 3 passes)\u2026\n");
    EXPECT_EQ(chain, Chain{std::string("parámetros de Argon2 inválidos: ") +
                           argon2_error_message(ARGON2_MEMORY_TOO_LITTLE)});
    EXPECT_FALSE(clave().has_value());
}

}  // namespace
}  // namespace zd::crypto
