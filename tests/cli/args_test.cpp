#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/help.h"
#include "util/error.h"

namespace {

using zd::cli::Args;
using zd::cli::parsear;
using Argv = std::vector<std::string>;

// The message parsear fails with, or "" when it succeeds.
std::string parse_error(const Argv& argv) {
    try {
        parsear(argv);
    } catch (const zd::Error& e) {
        return e.message();
    }
    return "";
}

// Sets or clears ZD_BANCO_SOLIDO for one test and restores "unset" after it.
class BancoSolido {
public:
    explicit BancoSolido(const char* value) {
        if (value)
            ::setenv("ZD_BANCO_SOLIDO", value, 1);
        else
            ::unsetenv("ZD_BANCO_SOLIDO");
    }
    ~BancoSolido() { ::unsetenv("ZD_BANCO_SOLIDO"); }
};

TEST(Parsear, EmptyListGivesDefaults) {
    Args a = parsear({});
    EXPECT_EQ(a, Args{});
    EXPECT_EQ(a.solid, 64u);
    EXPECT_EQ(a.level, 19);
    EXPECT_EQ(a.retention, 12.0);
    EXPECT_EQ(a.cpu, 0.06388888888888888);
    EXPECT_FALSE(a.price);
    EXPECT_FALSE(a.no_group);
}

TEST(Parsear, PositionalsKeepOrderAroundOptions) {
    Args a = parsear({"a", "--max", "", "-o", "x.zd", "b"});
    EXPECT_EQ(a.positionals, (Argv{"a", "", "b"}));
    EXPECT_EQ(a.out, "x.zd");
    EXPECT_TRUE(a.max);
}

TEST(Parsear, ValueIsTakenEvenWhenItLooksLikeAnOption) {
    Args a = parsear({"-o", "-h", "--name", "--max", "--file", "-"});
    EXPECT_EQ(a.out, "-h");
    EXPECT_EQ(a.name, "--max");
    EXPECT_FALSE(a.max);
    EXPECT_EQ(a.file, "-");
    EXPECT_TRUE(a.positionals.empty());
}

// Each Spanish or short spelling must parse exactly like its English twin.
TEST(Parsear, AliasesBehaveLikeTheEnglishName) {
    struct Case {
        Argv alias, english;
    };
    const Case cases[] = {
        {{"--out", "d"}, {"-o", "d"}},
        {{"--nivel", "3"}, {"--level", "3"}},
        {{"--precio", "2"}, {"--price", "2"}},
        {{"--retencion", "6"}, {"--retention", "6"}},
        {{"--sin-jpeg"}, {"--no-jpeg"}},
        {{"--sin-agrupar"}, {"--no-group"}},
        {{"--sin-solido"}, {"--no-solid"}},
        {{"--excluir", "p"}, {"--exclude", "p"}},
        {{"--fichero", "p"}, {"--file", "p"}},
        {{"--nombre", "n"}, {"--name", "n"}},
        {{"--cifrar"}, {"--encrypt"}},
        {{"--fichero-contrasena", "f"}, {"--password-file", "f"}},
    };
    for (const auto& c : cases) {
        Args alias = parsear(c.alias), english = parsear(c.english);
        EXPECT_EQ(alias, english) << c.alias[0];
        EXPECT_NE(english, Args{}) << c.english[0];
    }
}

TEST(Parsear, FlagsAndValuesLandInTheirFields) {
    Args a = parsear({"--level", "-7", "--price", "0,05", "--retention", "24", "--cpu", "1.5",
                      "--no-jpeg", "--no-group", "--stdin", "--progress", "--encrypt",
                      "--password-file", "pw", "--name", "n", "--file", "f", "--max"});
    EXPECT_EQ(a.level, -7);
    EXPECT_EQ(a.price, 0.05);
    EXPECT_EQ(a.retention, 24.0);
    EXPECT_EQ(a.cpu, 1.5);
    EXPECT_TRUE(a.no_jpeg);
    EXPECT_TRUE(a.no_group);
    EXPECT_TRUE(a.from_stdin);
    EXPECT_TRUE(a.progress);
    EXPECT_TRUE(a.encrypt);
    EXPECT_TRUE(a.max);
    EXPECT_EQ(a.password_file, "pw");
    EXPECT_EQ(a.name, "n");
    EXPECT_EQ(a.file, "f");
}

TEST(Parsear, RepeatsReplaceButExcludeAppends) {
    Args a = parsear({"--level", "5", "--exclude", "a", "--name", "x", "--level", "7",
                      "--excluir", "b", "--name", "y", "--exclude", "a"});
    EXPECT_EQ(a.level, 7);
    EXPECT_EQ(a.name, "y");
    EXPECT_EQ(a.exclude, (Argv{"a", "b", "a"}));
}

TEST(Parsear, GroupClearsAnEarlierNoGroup) {
    EXPECT_FALSE(parsear({"--no-group", "--group"}).no_group);
    EXPECT_FALSE(parsear({"--sin-agrupar", "--agrupar"}).no_group);
    EXPECT_TRUE(parsear({"--group", "--sin-agrupar"}).no_group);
}

TEST(Parsear, MissingValueMessages) {
    const std::pair<const char*, const char*> cases[] = {
        {"-o", "-o needs a path"},
        {"--out", "-o needs a path"},
        {"--level", "--level needs a number"},
        {"--nivel", "--level needs a number"},
        {"--price", "--price needs a number"},
        {"--precio", "--price needs a number"},
        {"--retention", "--retention needs a number"},
        {"--retencion", "--retention needs a number"},
        {"--cpu", "--cpu needs a number"},
        {"--exclude", "--exclude needs a pattern"},
        {"--excluir", "--exclude needs a pattern"},
        {"--file", "--file needs a pattern"},
        {"--fichero", "--file needs a pattern"},
        {"--name", "--name needs a value"},
        {"--nombre", "--name needs a value"},
        {"--password-file", "--password-file needs a path"},
        {"--fichero-contrasena", "--password-file needs a path"},
    };
    for (const auto& [opt, message] : cases) EXPECT_EQ(parse_error({"a", opt}), message) << opt;
}

TEST(Parsear, UnknownOptions) {
    // Matching is whole and exact: prefixes, case changes and "=" forms other
    // than --solid= are not options.
    for (const char* arg : {"-", "-x", "--bogus", "--Max", "--lev", "--level=5", "-oout", "--"})
        EXPECT_EQ(parse_error({arg}),
                  std::string("unknown option: ") + arg + "\n\ntry: zundra --help");
}

TEST(Parsear, NumbersTakeCommaAsDecimalPoint) {
    const std::pair<const char*, double> ok[] = {
        {"0,05", 0.05}, {"0.05", 0.05}, {"+3", 3.0}, {"-1,5", -1.5},
        {"1e3", 1000.0}, {".5", 0.5},   {"7", 7.0},
    };
    for (const auto& [text, value] : ok) EXPECT_EQ(parsear({"--price", text}).price, value) << text;
}

TEST(Parsear, BadNumbersNameTheOptionAndTheTextAsTyped) {
    EXPECT_EQ(parse_error({"--price", "abc"}), "--price: «abc» is not a number");
    EXPECT_EQ(parse_error({"--precio", "1,2,3"}), "--price: «1,2,3» is not a number");
    EXPECT_EQ(parse_error({"--retencion", ""}), "--retention: «» is not a number");
    EXPECT_EQ(parse_error({"--cpu", " 1"}), "--cpu: « 1» is not a number");
    for (const char* text : {"1x", "+", "+-1", "0x10", "1 "})
        EXPECT_EQ(parse_error({"--price", text}),
                  std::string("--price: «") + text + "» is not a number");
}

TEST(Parsear, LevelIsAStrictInteger) {
    EXPECT_EQ(parsear({"--level", "+22"}).level, 22);
    EXPECT_EQ(parsear({"--level", "-2147483648"}).level, INT32_MIN);
    for (const char* text : {"", "+", "-", " 5", "5 ", "5x", "1.0", "2147483648", "--7"})
        EXPECT_EQ(parse_error({"--level", text}),
                  std::string("--level: «") + text + "» is not a number")
            << text;
}

TEST(Parsear, SolidSizes) {
    struct Case {
        Argv argv;
        uint64_t normal, banco;  // without and with ZD_BANCO_SOLIDO
    };
    const Case cases[] = {
        {{"--solid"}, 128, 128},
        {{"--solid=300"}, 256, 256},
        {{"--solid=256"}, 256, 256},
        {{"--solid=8"}, 32, 8},
        {{"--solid=0"}, 32, 1},
        {{"--solid=+48"}, 48, 48},
        {{"--solid=x"}, 128, 128},
        {{"--solid="}, 128, 128},
        {{"--solid=+"}, 128, 128},
        {{"--solid=-"}, 128, 128},
        {{"--solid=-8"}, 128, 128},
        {{"--solid=8 "}, 128, 128},
        {{"--solid=99999999999999999999"}, 128, 128},
        {{"--no-solid"}, 0, 0},
        {{"--sin-solido"}, 0, 0},
        {{"--solid=8", "--no-solid"}, 0, 0},
        {{"--no-solid", "--solid"}, 128, 128},
    };
    for (const char* banco : {static_cast<const char*>(nullptr), "1"}) {
        BancoSolido env(banco);
        for (const auto& c : cases)
            EXPECT_EQ(parsear(c.argv).solid, banco ? c.banco : c.normal)
                << c.argv[0] << (banco ? " with ZD_BANCO_SOLIDO" : "");
    }
}

TEST(Parsear, BancoSolidoNeedsANonZeroValue) {
    for (const char* value : {"", "0"}) {
        BancoSolido env(value);
        EXPECT_EQ(parsear({"--solid=8"}).solid, 32u) << "«" << value << "»";
    }
    BancoSolido env("yes");
    EXPECT_EQ(parsear({"--solid=8"}).solid, 8u);
}

TEST(Parsear, RejectsArgumentsThatAreNotUtf8) {
    EXPECT_NE(parse_error({"ok", "bad\xff"}), "");
    EXPECT_THROW(zd::cli::require_utf8({"\xc3"}), zd::Error);
    EXPECT_NO_THROW(zd::cli::require_utf8({"añadir", "«x»"}));
}

TEST(Helpers, Posicional) {
    const Argv pos{"a.zd", "mnt"};
    EXPECT_EQ(zd::cli::posicional(pos, 1, "the mountpoint"), "mnt");
    try {
        zd::cli::posicional({"a.zd"}, 1, "the mountpoint");
        FAIL() << "no error";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), "missing the mountpoint\n\ntry: zundra --help");
    }
    EXPECT_THROW(zd::cli::posicional({}, 0, "the .zd archive"), zd::Error);
}

TEST(Helpers, OutputPath) {
    Args a;
    try {
        zd::cli::output_path(a);
        FAIL() << "no error";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), "missing «-o <path>»\n\ntry: zundra --help");
    }
    a.out = "dest";
    EXPECT_EQ(zd::cli::output_path(a), "dest");
}

TEST(Helpers, DefaultSnapshotName) {
    using namespace std::chrono;
    EXPECT_EQ(zd::cli::default_snapshot_name(system_clock::time_point(seconds(1700000000)) +
                                             milliseconds(999)),
              "snapshot-1700000000");
    EXPECT_EQ(zd::cli::default_snapshot_name(system_clock::time_point(seconds(-5))),
              "snapshot-0");
}

TEST(EarlyAnswer, HelpAnywhereWinsOverVersion) {
    using zd::cli::EarlyAnswer;
    using zd::cli::early_answer;
    const std::pair<Argv, EarlyAnswer> cases[] = {
        {{}, EarlyAnswer::Help},
        {{"extract", "a.zd", "-o", "-h"}, EarlyAnswer::Help},
        {{"-V", "--help"}, EarlyAnswer::Help},
        {{"list", "--version"}, EarlyAnswer::Version},
        {{"-V"}, EarlyAnswer::Version},
        {{"list", "a.zd"}, EarlyAnswer::None},
        {{"--helpme", "-v", "-H", "--Version"}, EarlyAnswer::None},
    };
    for (const auto& [argv, want] : cases)
        EXPECT_EQ(early_answer(argv), want) << (argv.empty() ? "(none)" : argv.back());
}

TEST(HelpText, VersionLine) { EXPECT_EQ(zd::cli::version_line(), "zundra 0.1.0\n"); }

TEST(HelpText, Structure) {
    const std::string& h = zd::cli::help_text();
    EXPECT_TRUE(h.starts_with(
        "zundra — CAS archiver: CDC dedup + lanes + zstd/store. blake3 round-trip ALWAYS.\n\n"
        "USAGE\n"));
    EXPECT_TRUE(h.ends_with(
        "\n\nSpanish names are still accepted as aliases: comprimir, descomprimir, anadir/añadir,\n"
        "verificar, montar, --nivel, --sin-jpeg, --sin-agrupar, --nombre, --precio, "
        "--retencion.\n"));
    EXPECT_EQ(std::count(h.begin(), h.end(), '\n'), 80);
    EXPECT_EQ(h.size(), 5260u);
    EXPECT_EQ(h.find("zundra 0.1.0"), std::string::npos);
    EXPECT_EQ(h.find('\t'), std::string::npos);
    EXPECT_EQ(h.find(" \n"), std::string::npos);
}

TEST(HelpText, ExactLines) {
    const std::string& h = zd::cli::help_text();
    for (const char* line : {
             "\n  zundra compress   <input>...    -o <archive.zd> [--level N] [--max] "
             "[--exclude PAT]\n",
             "\n  zundra add        <archive.zd>  <input>... [--name X]\n\n  <input> can be",
             "\n  `ps` for every user on the machine and stay in the shell history. Use\n",
             "\nOPTIONS\n  -o, --out <path>     destination (required for compress and extract)\n",
             "\n      --cpu <EUR/h>    what an hour of this machine costs you (default 0.0639).\n",
             "\n                       1,041,108,269 B in 177.9 s using 1,912 MB of RAM; 64 MiB "
             "frames\n",
             "\n      --exclude <PAT>  with compress/add: skip what matches. Same patterns as\n"
             "                       --file, and repeatable: --exclude node_modules --exclude "
             "'*.tmp'\n",
             "\n  -h, --help           this help\n  -V, --version        version\n\n",
         })
        EXPECT_NE(h.find(line), std::string::npos) << line;
}

}  // namespace
