// End-to-end runs of encrypted archives: both password sources open them,
// a wrong password or any altered byte opens nothing, and the password never
// shows up in what the program prints or writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "cli/binary.h"
#include "cli/tree.h"

namespace {

using zdtest::describe;
using zdtest::differences;
using zdtest::random_bytes;
using zdtest::slurp;
using zdtest::TempDir;
using zdtest::write_file;
using zdtest::zundra;

const std::string kPassword = "c0rrect horse battery staple";
const std::string kNotice = "deriving key (Argon2id, 64 MiB, 3 passes)\u2026\n";
const std::string kCannotOpen =
    "no se puede descifrar: la contraseña no es correcta, o el archivo ha sido modificado";
const std::string kNeedPassword =
    "hace falta una contraseña: usa --password-file <fichero>, la variable de entorno ZD_PASSWORD, o ejecuta esto "
    "desde un terminal para que te la pida.\n\nNo se acepta como argumento de línea de comandos a propósito: sería "
    "visible en `ps` para cualquier usuario de la máquina y quedaría en el historial del shell.";

uint32_t u32_at(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
           uint32_t(uint8_t(b[at + 3])) << 24;
}

uint64_t u64_at(const std::string& b, size_t at) { return uint64_t(u32_at(b, at)) | uint64_t(u32_at(b, at + 4)) << 32; }

struct Encrypted {
    TempDir t;
    std::string random;  // stored in the clear it would sit in the archive as it is
    std::string archive;
    std::string password_file;
    zdtest::Salida made;

    Encrypted() {
        ::unsetenv("ZD_PASSWORD");
        ::mkdir((t / "in").c_str(), 0755);
        ::mkdir((t / "in/sub").c_str(), 0755);
        std::string notes;
        for (int i = 0; i < 2000; ++i) notes += "meeting notes, line " + std::to_string(i) + "\n";
        write_file(t / "in/notes.txt", notes);
        random = random_bytes(200000, 3);
        write_file(t / "in/sub/random.bin", random);
        archive = t / "e.zd";
        // Line ends are not part of the password: ZD_PASSWORD without them opens it too.
        password_file = t / "pw";
        write_file(password_file, kPassword + "\r\n\n");
        made = zundra({"compress", t / "in", "-o", archive, "--encrypt", "--password-file", password_file,
                       "--level", "3"});
    }
};

void expect_no_password(const zdtest::Salida& r) {
    EXPECT_EQ(r.out.find(kPassword), std::string::npos);
    EXPECT_EQ(r.err.find(kPassword), std::string::npos);
}

TEST(EncryptionCli, ArchiveIsSealedAndOpensWithEitherPasswordSource) {
    Encrypted e;
    ASSERT_EQ(e.made.status, 0) << e.made.err;
    EXPECT_EQ(e.made.err, kNotice);
    expect_no_password(e.made);

    const std::string bytes = slurp(e.archive);
    ASSERT_GE(bytes.size(), 40u);
    EXPECT_EQ(bytes.substr(0, 8), "ZNDR0016");
    EXPECT_EQ(bytes[8], 1);
    EXPECT_NE(bytes.substr(9, 16), std::string(16, '\0'));  // the salt
    EXPECT_EQ(u32_at(bytes, 25), 64u);
    EXPECT_EQ(u32_at(bytes, 29), 3u);
    EXPECT_EQ(u32_at(bytes, 33), 1u);
    EXPECT_EQ(bytes.substr(37, 3), std::string(3, '\0'));
    EXPECT_EQ(bytes.find(kPassword), std::string::npos);
    EXPECT_EQ(bytes.find(e.random.substr(100000, 64)), std::string::npos);

    // Every command with the file; the other sources through the full road only
    // (each run pays for one key derivation).
    struct Source {
        const char* label;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::vector<std::string> commands;
    };
    const Source sources[] = {
        {"file", {"--password-file", e.password_file}, {}, {"info", "list", "verify", "extract"}},
        {"environment", {}, {"ZD_PASSWORD=" + kPassword}, {"extract"}},
        {"file before a wrong environment", {"--password-file", e.password_file}, {"ZD_PASSWORD=wrong"}, {"extract"}},
    };
    const zdtest::Tree want = describe(e.t / "in");
    for (const Source& s : sources) {
        SCOPED_TRACE(s.label);
        for (const std::string& cmd : s.commands) {
            SCOPED_TRACE(cmd);
            const std::string out = e.t / ("out-" + std::string(s.label));
            std::vector<std::string> args = {cmd, e.archive, "-o", out};
            args.insert(args.end(), s.args.begin(), s.args.end());
            auto r = zundra(args, "/dev/null", s.env);
            expect_no_password(r);
            EXPECT_EQ(r.status, 0) << r.err;
            if (cmd == "list") {
                EXPECT_EQ(r.err.rfind(kNotice + "2 entries, ", 0), 0u) << r.err;
                EXPECT_NE(r.out.find(" sub/random.bin\n"), std::string::npos) << r.out;
                continue;
            }
            EXPECT_EQ(r.err, kNotice);
            if (cmd == "info") {
                EXPECT_EQ(r.out.rfind("files: 2 ", 0), 0u) << r.out;
            }
            if (cmd == "verify") {
                EXPECT_EQ(r.out.rfind("OK: 2 files, ", 0), 0u) << r.out;
            }
            if (cmd == "extract") {
                EXPECT_EQ(differences(want, describe(out)), "");
            }
        }
    }
}

TEST(EncryptionCli, WrongPasswordOpensNothing) {
    Encrypted e;
    ASSERT_EQ(e.made.status, 0) << e.made.err;
    write_file(e.t / "wrong", kPassword + "!");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        const char* command;
    };
    const Case cases[] = {
        {{"--password-file", e.t / "wrong"}, {}, "info"},
        {{"--password-file", e.t / "wrong"}, {}, "list"},
        {{"--password-file", e.t / "wrong"}, {}, "verify"},
        {{"--password-file", e.t / "wrong"}, {}, "extract"},
        {{}, {"ZD_PASSWORD=" + kPassword.substr(1)}, "extract"},
        // The file is the first source: a right password after it is not tried.
        {{"--password-file", e.t / "wrong"}, {"ZD_PASSWORD=" + kPassword}, "extract"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::vector<std::string> args = {c.command, e.archive, "-o", e.t / "out"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = zundra(args, "/dev/null", c.env);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kNotice + "Error: " + kCannotOpen + "\n");
        EXPECT_NE(::access((e.t / "out").c_str(), F_OK), 0);
    }
}

TEST(EncryptionCli, AnyAlteredByteIsRefused) {
    Encrypted e;
    ASSERT_EQ(e.made.status, 0) << e.made.err;
    const std::string whole = slurp(e.archive);
    const uint64_t index_at = u64_at(whole, whole.size() - 64);
    const uint64_t index_len = u64_at(whole, whole.size() - 56);
    ASSERT_GT(index_at, 40u + 28u);
    ASSERT_EQ(index_at + index_len + 64, whole.size());

    struct Case {
        const char* label;
        uint64_t at;
        bool index;
    };
    const Case cases[] = {
        {"first frame's nonce", 40, false},
        {"inside the frames", 40 + (index_at - 40) / 2, false},
        {"inside the index", index_at + index_len / 2, true},
        {"index tag", index_at + index_len - 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string bytes = whole;
        bytes[c.at] = char(bytes[c.at] ^ 1);
        write_file(e.archive, bytes);
        auto v = zundra({"verify", e.archive, "--password-file", e.password_file});
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.out, "");
        if (c.index) {
            EXPECT_EQ(v.err, kNotice + "Error: " + kCannotOpen + "\n");
        } else {
            EXPECT_NE(v.err.find(kCannotOpen), std::string::npos) << v.err;
        }

        if (c.index) continue;  // extract opens the index the same way
        const std::string out = e.t / "out";
        auto x = zundra({"extract", e.archive, "-o", out, "--password-file", e.password_file});
        EXPECT_EQ(x.status, 1);
        for (const auto& [path, node] : describe(out)) {
            SCOPED_TRACE(path);
            if (node.kind == '-') {
                EXPECT_EQ(node.data, slurp(e.t / ("in/" + path)));
            }
        }
        std::system(("rm -rf '" + out + "'").c_str());
    }
}

TEST(EncryptionCli, PasswordSourceProblems) {
    TempDir t;
    ::unsetenv("ZD_PASSWORD");
    ::mkdir((t / "in").c_str(), 0755);
    write_file(t / "in/a.txt", "data\n");
    write_file(t / "data", "piped data\n");
    write_file(t / "only-newline", "\n");
    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "e.zd", "--encrypt"}, "/dev/null", {"ZD_PASSWORD=x"}).status, 0);

    struct Case {
        const char* label;
        std::vector<std::string> args;
        std::string stdin_path;
        std::vector<std::string> env;
        std::string err;
    };
    const Case cases[] = {
        // Standard input is the data, so there is no one to ask.
        {"stdin", {"compress", "--stdin", "--encrypt", "-o", t / "new.zd"}, t / "data", {}, kNeedPassword},
        {"empty variable", {"compress", t / "in", "--encrypt", "-o", t / "new.zd"}, "/dev/null", {"ZD_PASSWORD="},
         kNeedPassword},
        {"opening", {"info", t / "e.zd"}, "/dev/null", {}, kNeedPassword},
        {"empty file",
         {"compress", t / "in", "--encrypt", "-o", t / "new.zd", "--password-file", t / "only-newline"},
         "/dev/null",
         {"ZD_PASSWORD=x"},
         "el fichero de contraseña " + (t / "only-newline") + " está vacío"},
        {"missing file",
         {"verify", t / "e.zd", "--password-file", t / "nope"},
         "/dev/null",
         {"ZD_PASSWORD=x"},
         "leer la contraseña de " + (t / "nope") + "\n\nCaused by:\n    No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto r = zundra(c.args, c.stdin_path, c.env);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: " + c.err + "\n");
        EXPECT_NE(::access((t / "new.zd").c_str(), F_OK), 0);
    }
}

}  // namespace
