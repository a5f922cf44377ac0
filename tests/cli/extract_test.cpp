// End-to-end runs of `zundra extract` and `verify`: trees with every kind of
// entry come back with their metadata, damaged archives never yield a wrong
// file, and the command line answers its usage errors.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <set>

#include "cli/binary.h"
#include "cli/help.h"
#include "cli/tree.h"
#include "format/container.h"

namespace {

using zdtest::describe;
using zdtest::differences;
using zdtest::mib;
using zdtest::random_bytes;
using zdtest::TempDir;
using zdtest::Tree;
using zdtest::write_file;
using zdtest::zundra;

constexpr time_t kPast = 1600000000;
constexpr size_t kMiB = 1 << 20;
const std::string kBadName = "bad\xff" "name";
const std::string kBadNameStored = "bad\xef\xbf\xbd" "name";  // U+FFFD

std::string text(size_t lines) {
    std::string s;
    for (size_t i = 0; i < lines; ++i) s += "line " + std::to_string(i) + ": the quick brown fox jumps over the dog\n";
    return s;
}

bool is_root() { return ::geteuid() == 0; }

struct Made {
    Tree want;       // what extraction must give back
    uint64_t bytes;  // what the reports count: contents once per inode, link targets
};

// Every kind of entry the archive keeps. Owners are set only as root.
Made make_tree(const std::string& in) {
    for (const char* d : {"", "/docs", "/bin", "/sub", "/sub/deep", "/emptydir", "/shared"})
        ::mkdir((in + d).c_str(), 0755);
    const std::string readme = text(800);
    write_file(in + "/docs/readme.txt", readme);
    write_file(in + "/sub/deep/readme-copy.txt", readme);
    const std::string random = random_bytes(5 * kMiB + kMiB / 2, 7);
    write_file(in + "/bin/random.bin", random);
    write_file(in + "/bin/copy.bin", random);
    write_file(in + "/empty", "");
    write_file(in + "/zeros", std::string(kMiB, '\0'));
    const size_t k64 = 64 * 1024;
    write_file(in + "/holes", std::string(k64, 'x') + std::string(3 * k64, '\0') + std::string(k64, 'y') +
                                  std::string(2 * k64, '\0'));
    write_file(in + "/hard_a", "linked content\n");
    ::link((in + "/hard_a").c_str(), (in + "/sub/hard_b").c_str());
    ::symlink("docs/readme.txt", (in + "/link_rel").c_str());
    ::symlink("../nowhere", (in + "/sub/dangling").c_str());
    ::mkfifo((in + "/fifo").c_str(), 0640);
    write_file(in + "/" + kBadName, "odd name\n");
    for (const char* f : {"private", "tool", "locked", "suid"}) write_file(in + "/" + f, std::string("#!") + f + "\n");
    if (is_root()) {
        for (const char* p : {"/docs/readme.txt", "/link_rel", "/fifo", "/suid", "/emptydir"})
            ::lchown((in + p).c_str(), 1234, 5678);
    }
    // After chown, which clears the set-id bits.
    ::chmod((in + "/private").c_str(), 0600);
    ::chmod((in + "/tool").c_str(), 0755);
    ::chmod((in + "/locked").c_str(), 0);
    ::chmod((in + "/suid").c_str(), 04755);
    ::chmod((in + "/emptydir").c_str(), 0700);
    ::chmod((in + "/shared").c_str(), 02775);

    Made m;
    m.want = describe(in);
    time_t when = kPast;
    for (const auto& [path, node] : m.want) zdtest::set_mtime(in + "/" + path, when += 61);
    m.want = describe(in);

    m.bytes = 0;
    for (const auto& [path, node] : m.want)
        if (node.kind == '-' || node.kind == 'l') m.bytes += node.data.size();
    m.bytes -= m.want["hard_a"].data.size();  // the second name adds no bytes

    zdtest::Node odd = m.want.at(kBadName);
    m.want.erase(kBadName);
    m.want[kBadNameStored] = odd;
    return m;
}

std::string extract_report(size_t files, uint64_t bytes) {
    const std::string n = std::to_string(files);
    return "extracted " + n + " files, " + mib(bytes) + " MiB in [0-9]+\\.[0-9]s \\([0-9]+\\.[0-9] MB/s\\)\n" +
           "blake3 round-trip: OK \\(" + n + "/" + n + "\\)\n";
}

std::string verify_report(size_t files, uint64_t bytes) {
    return "OK: " + std::to_string(files) + " files, " + mib(bytes) +
           " MiB verified byte-exact in [0-9]+\\.[0-9]s \\([0-9]+\\.[0-9] MB/s\\)\n";
}

// Frames that hold some chunk of the entry at `path`.
std::set<uint32_t> frames_of(const zd::format::Index& index, const std::string& path) {
    std::set<uint32_t> out;
    for (const auto& f : index.files)
        if (f.path == path) {
            for (uint64_t c : f.chunks) out.insert(index.chunks[c].frame);
        }
    return out;
}

struct Variant {
    const char* label;
    std::vector<std::string> args;
    int32_t level;
    size_t frames_of_random;  // 5.5 MiB of the other lane: two small frames, or one big one
};

class RoundTrip : public testing::TestWithParam<Variant> {};

TEST_P(RoundTrip, EveryKindOfEntryComesBackWithItsMetadata) {
    const Variant& v = GetParam();
    TempDir t;
    const Made m = make_tree(t / "in");
    std::vector<std::string> args = {"compress", t / "in", "-o", t / "a.zd"};
    args.insert(args.end(), v.args.begin(), v.args.end());
    auto c = zundra(args);
    ASSERT_EQ(c.status, 0) << c.err;

    zd::format::Archivo a = zd::format::abrir(t / "a.zd");
    EXPECT_EQ(a.index.level, v.level);
    EXPECT_EQ(frames_of(a.index, "bin/random.bin").size(), v.frames_of_random);
    EXPECT_EQ(frames_of(a.index, "bin/random.bin"), frames_of(a.index, "bin/copy.bin"));

    const size_t n = zdtest::entry_count(m.want);
    auto x = zundra({"extract", t / "a.zd", "-o", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(x.err, "");
    EXPECT_TRUE(std::regex_match(x.out, std::regex(extract_report(n, m.bytes)))) << x.out;

    const Tree got = describe(t / "out");
    EXPECT_EQ(differences(m.want, got), "");
    ASSERT_TRUE(got.count("zeros") && got.count("holes"));
    EXPECT_EQ(got.at("zeros").blocks, 0);
    EXPECT_LT(got.at("holes").blocks * 512, got.at("holes").size / 2);

    auto check = zundra({"verify", t / "a.zd"});
    ASSERT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.err, "");
    EXPECT_TRUE(std::regex_match(check.out, std::regex(verify_report(n, m.bytes)))) << check.out;
}

INSTANTIATE_TEST_SUITE_P(Settings, RoundTrip,
                         testing::Values(Variant{"defaults", {}, 19, 1},
                                         Variant{"no_solid", {"--no-solid"}, 19, 2},
                                         Variant{"solid_32", {"--solid=32", "--level", "3"}, 3, 1},
                                         Variant{"level_1", {"--level", "1"}, 1, 1}),
                         [](const auto& row) { return std::string(row.param.label); });

TEST(ExtractCli, ExtendedAttributesComeBack) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    ::mkdir((t / "in/dir").c_str(), 0755);
    write_file(t / "in/f", "content");
    const std::string binary("v\0al\xff", 5);
    if (::setxattr((t / "in/f").c_str(), "user.b", binary.data(), binary.size(), 0) != 0)
        GTEST_SKIP() << "no user.* extended attributes here: " << std::strerror(errno);
    ASSERT_EQ(::setxattr((t / "in/f").c_str(), "user.a", "first", 5, 0), 0);
    ASSERT_EQ(::setxattr((t / "in/f").c_str(), "user.empty", "", 0, 0), 0);
    ASSERT_EQ(::setxattr((t / "in/dir").c_str(), "user.d", "of a dir", 8, 0), 0);
    const Tree want = describe(t / "in");

    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "a.zd", "--level", "1"}).status, 0);
    auto x = zundra({"extract", t / "a.zd", "-o", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(differences(want, describe(t / "out")), "");
    EXPECT_EQ(zdtest::user_xattrs(t / "out/f")["user.b"], binary);
}

// Entries of `want` at `paths`, with the directories above them.
Tree selection(const Tree& want, const std::set<std::string>& paths) {
    Tree out;
    for (const auto& p : paths) {
        out[p] = want.at(p);
        for (size_t slash = p.find('/'); slash != std::string::npos; slash = p.find('/', slash + 1)) {
            out[p.substr(0, slash)].kind = 'd';
        }
    }
    return out;
}

TEST(ExtractCli, FileSelectsAnEntryADirectoryOrAWildcard) {
    TempDir t;
    const std::string in = t / "in";
    for (const char* d : {"", "/docs", "/docs/sub"}) ::mkdir((in + d).c_str(), 0755);
    write_file(in + "/docs/a.txt", "a\n");
    write_file(in + "/docs/sub/b.txt", "b\n");
    write_file(in + "/other.txt", "other\n");
    write_file(in + "/docs/stored", "shared inode\n");
    ::link((in + "/docs/stored").c_str(), (in + "/linked").c_str());  // later in walk order: the link record
    ::symlink("a.txt", (in + "/docs/l").c_str());
    const Tree want = describe(in);
    ASSERT_EQ(zundra({"compress", in, "-o", t / "a.zd", "--level", "1"}).status, 0);

    struct Case {
        const char* pattern;
        std::set<std::string> paths;
    };
    const Case cases[] = {
        {"other.txt", {"other.txt"}},
        {"docs/sub/b.txt", {"docs/sub/b.txt"}},
        {"docs", {"docs/a.txt", "docs/sub/b.txt", "docs/stored", "docs/l"}},
        {"docs/", {"docs/a.txt", "docs/sub/b.txt", "docs/stored", "docs/l"}},
        {"b.txt", {"docs/sub/b.txt"}},
        {"*.txt", {"docs/a.txt", "docs/sub/b.txt", "other.txt"}},
        // Only the link's name: it comes back as a file of its own.
        {"linked", {"linked"}},
        {"*ed", {"docs/stored", "linked"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        const std::string out = t / ("out-" + std::to_string(&c - cases));
        auto x = zundra({"extract", t / "a.zd", "-o", out, "--file", c.pattern});
        ASSERT_EQ(x.status, 0) << x.err;
        EXPECT_EQ(differences(selection(want, c.paths), describe(out)), "");
        const std::string n = std::to_string(c.paths.size());
        EXPECT_NE(x.out.find("blake3 round-trip: OK (" + n + "/" + n + ")\n"), std::string::npos) << x.out;
    }
    // verify takes no selection: it checks the whole archive.
    auto v = zundra({"verify", t / "a.zd", "--file", "other.txt"});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out.rfind("OK: " + std::to_string(zdtest::entry_count(want)) + " files, ", 0), 0u) << v.out;
}

TEST(ExtractCli, ManySmallFilesInOneFrameComeBackFromEveryWorker) {
    TempDir t;
    const std::string in = t / "in";
    ::mkdir(in.c_str(), 0755);
    for (int d = 0; d < 6; ++d) {
        const std::string dir = in + "/d" + std::to_string(d);
        ::mkdir(dir.c_str(), 0755);
        for (int i = 0; i < 50; ++i)
            write_file(dir + "/f" + std::to_string(i), text(size_t(1 + (d * 50 + i) % 37)) + std::to_string(i));
    }
    const Tree want = describe(in);
    ASSERT_EQ(zundra({"compress", in, "-o", t / "a.zd", "--no-solid", "--level", "1"}).status, 0);
    auto x = zundra({"extract", t / "a.zd", "-o", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(differences(want, describe(t / "out")), "");
}

TEST(ExtractCli, StandardInputComesBackAsAFile) {
    TempDir t;
    const std::string data = text(300);
    write_file(t / "data", data);
    for (const char* name : {"", "s1"}) {
        SCOPED_TRACE(name);
        std::vector<std::string> args = {"compress", "--stdin", "-o", t / "s.zd", "--level", "1"};
        if (*name) args.insert(args.end(), {"--name", name});
        ASSERT_EQ(zundra(args, t / "data").status, 0);
        const std::string out = t / ("out" + std::string(name));
        auto x = zundra({"extract", t / "s.zd", "-o", out});
        ASSERT_EQ(x.status, 0) << x.err;
        const Tree got = describe(out);
        const std::string path = *name ? std::string(name) + "/stdin" : "stdin";
        ASSERT_TRUE(got.count(path));
        EXPECT_EQ(got.at(path).data, data);
        EXPECT_EQ(got.at(path).perms, 0644u);
    }
}

TEST(ExtractCli, DevicesComeBackOrAreReportedWithoutPrivileges) {
    TempDir t;
    ::chmod(t.path().c_str(), 0777);
    const std::string in = t / "in";
    ::mkdir(in.c_str(), 0755);
    write_file(in + "/f", "plain\n");
    if (::mknod((in + "/null").c_str(), S_IFCHR | 0640, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device here: " << std::strerror(errno);
    zdtest::set_mtime(in + "/null", kPast);
    const Tree want = describe(in);
    ASSERT_EQ(zundra({"compress", in, "-o", t / "a.zd", "--level", "1"}).status, 0);

    auto x = zundra({"extract", t / "a.zd", "-o", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(differences(want, describe(t / "out")), "");

    // Without the privilege the node is told about, the rest still comes out.
    auto n = zundra({"extract", t / "a.zd", "-o", t / "out-nobody"}, "/dev/null", {}, true);
    EXPECT_EQ(n.status, 0) << n.err;
    EXPECT_EQ(n.err, "AVISO: null es un fichero especial y no se pudo recrear (¿hacen falta privilegios?)\n");
    const Tree got = describe(t / "out-nobody");
    EXPECT_FALSE(got.count("null"));
    ASSERT_TRUE(got.count("f"));
    EXPECT_EQ(got.at("f").data, "plain\n");
}

TEST(ExtractCli, NeverWritesThroughALinkInTheDestination) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    ::mkdir((t / "in/docs").c_str(), 0755);
    write_file(t / "in/docs/a.txt", "inside");
    ::mkdir((t / "elsewhere").c_str(), 0755);
    ::mkdir((t / "out").c_str(), 0755);
    ::symlink((t / "elsewhere").c_str(), (t / "out/docs").c_str());
    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "a.zd", "--level", "1"}).status, 0);

    auto x = zundra({"extract", t / "a.zd", "-o", t / "out"});
    EXPECT_EQ(x.status, 1) << x.out;
    EXPECT_TRUE(describe(t / "elsewhere").empty());
}

// Corruption. The tree: one compressible text frame and one stored frame of
// random data, with a duplicate and a hard link into the random files.
struct Damaged {
    Tree want;
    std::vector<std::string> paths;  // index order
};

Damaged make_damaged_source(const TempDir& t) {
    const std::string in = t / "in";
    ::mkdir(in.c_str(), 0755);
    write_file(in + "/notes.txt", text(4000));
    write_file(in + "/r1.bin", random_bytes(300000, 1));
    write_file(in + "/r2.bin", random_bytes(300000, 2));
    write_file(in + "/r2-copy.bin", random_bytes(300000, 2));
    ::link((in + "/r1.bin").c_str(), (in + "/r1-link.bin").c_str());
    write_file(in + "/small.txt", "untouched\n");
    Damaged d;
    d.want = describe(in);
    return d;
}

void flip(const std::string& path, uint64_t at) {
    std::string bytes = zdtest::slurp(path);
    bytes[at] = char(bytes[at] ^ 0x5a);
    write_file(path, bytes);
}

// Every file that did come out has its original content.
void expect_no_wrong_file(const Tree& want, const std::string& out) {
    for (const auto& [path, node] : describe(out)) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(want.count(path)) << "unexpected entry";
        if (node.kind == '-') {
            EXPECT_EQ(node.data, want.at(path).data);
        }
    }
}

TEST(ExtractCli, FlippedByteInAStoredFrameFailsExactlyTheFilesThatUseIt) {
    TempDir t;
    Damaged d = make_damaged_source(t);
    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "clean.zd", "--level", "3"}).status, 0);
    zd::format::Archivo a = zd::format::abrir(t / "clean.zd");
    a.file.reset();
    const auto record = [&](const std::string& path) -> const zd::format::FileRec& {
        for (const auto& rec : a.index.files)
            if (rec.path == path) return rec;
        throw std::runtime_error("no record " + path);
    };

    // A chunk shared by a duplicate, and the content of a hard-link pair.
    for (const char* victim : {"r2.bin", "r1-link.bin"}) {
        SCOPED_TRACE(victim);
        const auto& hit_chunk = a.index.chunks[record(victim).chunks.at(0)];
        const uint32_t f = hit_chunk.frame;
        ASSERT_EQ(a.index.frames[f].codec, zd::format::kStored);
        const uint64_t k = hit_chunk.offset + hit_chunk.len / 2;
        write_file(t / "a.zd", zdtest::slurp(t / "clean.zd"));
        flip(t / "a.zd", a.index.frames[f].offset + k);

        std::string expected;
        size_t failed = 0;
        for (const auto& rec : a.index.files) {
            bool hit = false;
            for (uint64_t c : rec.chunks) {
                const auto& ch = a.index.chunks[c];
                hit |= ch.frame == f && ch.offset <= k && k < uint64_t(ch.offset) + ch.len;
            }
            if (!hit) continue;
            expected += "ROUND-TRIP FAIL: " + rec.path + " (blake3 no coincide)\n";
            ++failed;
        }
        auto v = zundra({"verify", t / "a.zd"});
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.out, "");
        EXPECT_EQ(v.err, expected + "Error: VERIFICATION FAILED: " + std::to_string(failed) + "/" +
                             std::to_string(a.index.files.size()) + " corrupt files\n");

        const std::string out = t / ("out-" + std::string(victim));
        auto x = zundra({"extract", t / "a.zd", "-o", out});
        EXPECT_EQ(x.status, 1);
        // A link to a broken file ends the run when its copy finds nothing to copy.
        if (std::string(victim) == "r2.bin") {
            EXPECT_NE(x.err.find(expected), std::string::npos) << x.err;
        }
        expect_no_wrong_file(d.want, out);
        EXPECT_TRUE(describe(out).count("small.txt"));
    }
}

TEST(ExtractCli, FlippedByteInACompressedFrameIsCaught) {
    TempDir t;
    Damaged d = make_damaged_source(t);
    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "a.zd", "--level", "3"}).status, 0);
    zd::format::Archivo a = zd::format::abrir(t / "a.zd");
    a.file.reset();
    size_t f = 0;
    while (f < a.index.frames.size() && a.index.frames[f].codec != zd::format::kZstd) ++f;
    ASSERT_LT(f, a.index.frames.size()) << "no zstd frame";
    flip(t / "a.zd", a.index.frames[f].offset + a.index.frames[f].stored_len / 2);

    auto v = zundra({"verify", t / "a.zd"});
    EXPECT_EQ(v.status, 1);
    EXPECT_EQ(v.out, "");
    // Either the codec notices, or the hash does.
    const bool by_hash = v.err == "ROUND-TRIP FAIL: notes.txt (blake3 no coincide)\nError: VERIFICATION FAILED: 1/" +
                                      std::to_string(a.index.files.size()) + " corrupt files\n";
    const bool by_codec = v.err.rfind("Error: ", 0) == 0 && v.err.find("ROUND-TRIP") == std::string::npos;
    EXPECT_TRUE(by_hash || by_codec) << v.err;

    auto x = zundra({"extract", t / "a.zd", "-o", t / "out"});
    EXPECT_EQ(x.status, 1);
    expect_no_wrong_file(d.want, t / "out");
}

TEST(ExtractCli, CutOrTinyArchivesAreRefusedBeforeAnythingIsWritten) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    write_file(t / "in/a.txt", text(100));
    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "a.zd", "--level", "1"}).status, 0);
    const std::string whole = zdtest::slurp(t / "a.zd");

    struct Case {
        size_t keep;
        const char* message;
    };
    const Case cases[] = {
        {whole.size() - 1, "pie inválido: archivo truncado o corrupto"},
        {whole.size() - 64, "pie inválido: archivo truncado o corrupto"},
        {whole.size() / 2, "pie inválido: archivo truncado o corrupto"},
        {72, "pie inválido: archivo truncado o corrupto"},
        {71, "archivo demasiado pequeño o corrupto"},
        {0, "archivo demasiado pequeño o corrupto"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keep);
        write_file(t / "cut.zd", whole.substr(0, c.keep));
        for (const char* cmd : {"list", "info", "verify", "extract"}) {
            SCOPED_TRACE(cmd);
            auto r = zundra({cmd, t / "cut.zd", "-o", t / "out"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, std::string("Error: ") + c.message + "\n");
            EXPECT_NE(::access((t / "out").c_str(), F_OK), 0);
        }
    }
}

// The command line's own answers, before any archive is touched.
TEST(CommandLine, UsageAnswers) {
    TempDir t;
    const std::string& help = zd::cli::help_text();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, 0, help, ""},
        {{"extract", "a.zd", "-o", "-h"}, 0, help, ""},
        {{"-V", "--help"}, 0, help, ""},
        {{"list", "--version"}, 0, "zundra 0.1.0\n", ""},
        {{"-V"}, 0, "zundra 0.1.0\n", ""},
        {{"Compress", "x"}, 1, "", "Error: unknown command: Compress\n\ntry: zundra --help\n"},
        {{"compress", "-"}, 1, "", "Error: unknown option: -\n\ntry: zundra --help\n"},
        {{"compress", "-o", t / "out.zd"}, 1, "", "Error: missing the input to compress\n"},
        {{"compress", t.path()}, 1, "", "Error: missing «-o <path>»\n\ntry: zundra --help\n"},
        {{"extract", t / "a.zd"}, 1, "", "Error: missing «-o <path>»\n\ntry: zundra --help\n"},
        {{"extract"}, 1, "", "Error: missing the .zd archive\n\ntry: zundra --help\n"},
        {{"extract", t / "a.zd", "-o"}, 1, "", "Error: -o needs a path\n"},
        {{"verify", t / "missing.zd"}, 1, "", "Error: abrir " + (t / "missing.zd") + "\n\nCaused by:\n    No such file or directory\n"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);
        auto r = zundra(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_NE(::access((t / "out.zd").c_str(), F_OK), 0);
}

TEST(CommandLine, ArgumentThatIsNotUtf8IsRefusedReadably) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    write_file(t / "in/a", "a");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"list", "\xff.zd"}, {"compress", t / "in", "-o", t / "x\xc3.zd"}}) {
        auto r = zundra(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("UTF-8"), std::string::npos) << r.err;
        // The message itself must be printable text.
        EXPECT_EQ(r.err.find('\xff'), std::string::npos);
        EXPECT_EQ(r.err.find("x\xc3."), std::string::npos);
    }
    EXPECT_NE(::access((t / "x\xc3.zd").c_str(), F_OK), 0);
}

TEST(CommandLine, MountIsNotAvailableYet) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    write_file(t / "in/a", "a");
    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "a.zd", "--level", "1"}).status, 0);
    ::mkdir((t / "mnt").c_str(), 0755);
    auto r = zundra({"mount", t / "a.zd", t / "mnt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: mount: aún no disponible en esta versión\n");
    EXPECT_TRUE(describe(t / "mnt").empty());
}

}  // namespace
