#include "crypto/password.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support.h"

namespace zd::crypto {
namespace {

using testing::Chain;
using testing::error_chain;
using testing::ScopedEnv;
using testing::StdinNotTerminal;
using testing::TempDir;

const char kNeedPassword[] =
    "hace falta una contraseña: usa --password-file <fichero>, la variable de entorno "
    "ZD_PASSWORD, o ejecuta esto desde un terminal para que te la pida.\n\n"
    "No se acepta como argumento de línea de comandos a propósito: sería visible en `ps` "
    "para cualquier usuario de la máquina y quedaría en el historial del shell.";

std::string text_of(const SecretBytes& s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

std::string write_file(const TempDir& dir, const std::string& name, const std::string& content) {
    const std::string path = (dir.path() / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

class PasswordTest : public ::testing::Test {
protected:
    ScopedEnv no_env_{"ZD_PASSWORD", std::nullopt};
    StdinNotTerminal stdin_{};
    TempDir dir_;
};

TEST_F(PasswordTest, FileLosesOnlyTrailingLineEnds) {
    struct Case {
        std::string content;
        std::string password;
    };
    const Case cases[] = {
        {"secret\r\n\n", "secret"},
        {"  secret  \n", "  secret  "},  // spaces on either side are part of it
        {"a\rb\nc\n", "a\rb\nc"},        // only the tail is trimmed
        {std::string("\xff\xfe\x00\x01", 4), std::string("\xff\xfe\x00\x01", 4)},  // any bytes
        {std::string(512, 'x'), std::string(512, 'x')},              // exactly one read buffer
        {std::string(1300, 'y') + "\n", std::string(1300, 'y')},
    };
    for (const Case& c : cases) {
        const std::string path = write_file(dir_, "pw", c.content);
        EXPECT_EQ(text_of(contrasena(path, true)), c.password) << c.content.size() << " bytes";
    }
}

TEST_F(PasswordTest, FileWithNothingButLineEndsIsEmpty) {
    for (const std::string content : {"", "\n", "\r\n\r\n"}) {
        const std::string path = write_file(dir_, "pw", content);
        EXPECT_EQ(error_chain([&] { contrasena(path, false); }),
                  Chain{"el fichero de contraseña " + path + " está vacío"});
    }
}

TEST_F(PasswordTest, UnreadableFileIsAnErrorWithTheSystemCause) {
    const std::string missing = (dir_.path() / "missing").string();
    EXPECT_EQ(error_chain([&] { contrasena(missing, false); }),
              (Chain{"leer la contraseña de " + missing, "No such file or directory"}));
    const std::string folder = dir_.path().string();
    EXPECT_EQ(error_chain([&] { contrasena(folder, false); }),
              (Chain{"leer la contraseña de " + folder, "Is a directory"}));
}

TEST_F(PasswordTest, FileComesBeforeTheEnvironmentAndNeverFallsBack) {
    ScopedEnv env("ZD_PASSWORD", "from-env");
    const std::string path = write_file(dir_, "pw", "from-file\n");
    EXPECT_EQ(text_of(contrasena(path, false)), "from-file");
    const std::string missing = (dir_.path() / "missing").string();
    EXPECT_FALSE(error_chain([&] { contrasena(missing, false); }).empty());
}

TEST_F(PasswordTest, EnvironmentValueIsTakenUnchanged) {
    for (const std::string value : {"pw  ", " pw\n", "contraseña"}) {
        ScopedEnv env("ZD_PASSWORD", value);
        EXPECT_EQ(text_of(contrasena(std::nullopt, true)), value);
    }
}

TEST_F(PasswordTest, WithoutAnySourceOffTerminalTheUserIsToldWhy) {
    for (const std::optional<std::string>& value :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("\xff")}) {
        ScopedEnv env("ZD_PASSWORD", value);
        EXPECT_EQ(error_chain([] { contrasena(std::nullopt, true); }), Chain{kNeedPassword});
    }
}

}  // namespace
}  // namespace zd::crypto
