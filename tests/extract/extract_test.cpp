#include "extract/extract.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive_builder.h"
#include "scratch.h"
#include "util/error.h"

namespace {

using zdtest::Entry;
using zdtest::Options;
using Strings = std::vector<std::string>;

struct Outcome {
    zd::extract::Resultado result;
    Strings failures;
};

Outcome extract(const std::string& archive, const std::optional<std::string>& dest,
            const std::optional<std::string>& pattern = std::nullopt) {
    Outcome run;
    run.result = zd::extract::extraer_patron(archive, dest, run.failures, pattern);
    return run;
}

// The message chain of the error an extraction throws.
Strings error_chain(const std::string& archive, const std::optional<std::string>& dest,
                    const std::optional<std::string>& pattern = std::nullopt) {
    try {
        extract(archive, dest, pattern);
    } catch (const zd::Error& e) {
        return e.chain();
    }
    return {"(no error)"};
}

struct stat lstat_of(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) ADD_FAILURE() << "lstat " << path;
    return st;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string patterned(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = char(seed >> 24);
    }
    return s;
}

Entry with_mtime(Entry e, int64_t mtime) {
    e.mtime = mtime;
    return e;
}

class Scratch : public ::testing::Test {
protected:
    zdtest::TempDir tmp;
    std::string archive = tmp / "a.zd";
    std::string out = tmp / "out";
};

class RoundTrip : public Scratch, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(RoundTrip, RegularFilesWithContentModeAndTime) {
    const std::string big = patterned(10000, 1);
    const std::string rep = patterned(4096, 2) + patterned(4096, 2) + patterned(9000, 3);
    Options opt;
    opt.codec = GetParam();
    zdtest::write_archive(archive,
                          {with_mtime(zdtest::file("top.txt", big, 0100640), 1600000000),
                           with_mtime(zdtest::file("sub/deep/b.bin", rep, 0100755), 1500000000),
                           with_mtime(zdtest::file("empty", ""), 1234567890),
                           zdtest::file("sub/dup.txt", big)},
                          opt);
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, Strings{});
    EXPECT_EQ(run.result.files, 4u);
    EXPECT_EQ(run.result.bytes, 2 * big.size() + rep.size());
    EXPECT_EQ(run.result.failed, 0u);

    struct Want {
        std::string path, content;
        mode_t perms;
        time_t mtime;
    };
    for (const Want& w : {Want{"top.txt", big, 0640, 1600000000}, Want{"sub/deep/b.bin", rep, 0755, 1500000000},
                          Want{"empty", "", 0644, 1234567890}, Want{"sub/dup.txt", big, 0644, 0}}) {
        const std::string path = out + "/" + w.path;
        EXPECT_EQ(zdtest::slurp(path), w.content) << w.path;
        struct stat st = lstat_of(path);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << w.path;
        EXPECT_EQ(st.st_mode & 07777, w.perms) << w.path;
        if (w.mtime != 0) {
            EXPECT_EQ(st.st_mtim.tv_sec, w.mtime) << w.path;
            EXPECT_EQ(st.st_mtim.tv_nsec, 0) << w.path;
        }
    }
    // No temporaries left beside the files.
    EXPECT_EQ(zdtest::listing(out), (Strings{"empty", "sub", "top.txt"}));
    EXPECT_EQ(zdtest::listing(out + "/sub"), (Strings{"deep", "dup.txt"}));

    Outcome verify = extract(archive, std::nullopt);
    EXPECT_EQ(verify.failures, Strings{});
    EXPECT_EQ(verify.result.files, 4u);
    EXPECT_EQ(verify.result.bytes, run.result.bytes);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RoundTrip, ::testing::Values(zd::format::kStored, zd::format::kZstd));

TEST_F(Scratch, LinksDirectoriesAndFifos) {
    zdtest::write_archive(archive, {with_mtime(zdtest::symlink("l", "no/such/target"), 1000000000),
                                    with_mtime(zdtest::directory("d/empty", 040700), 1100000000),
                                    zdtest::fifo("p")});
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, Strings{});
    EXPECT_EQ(run.result.files, 3u);
    EXPECT_EQ(run.result.bytes, std::string("no/such/target").size());

    struct stat link = lstat_of(out + "/l");
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(std::filesystem::read_symlink(out + "/l"), "no/such/target");
    EXPECT_EQ(link.st_mtim.tv_sec, 1000000000);  // the link's own time
    struct stat dir = lstat_of(out + "/d/empty");
    EXPECT_TRUE(S_ISDIR(dir.st_mode));
    EXPECT_EQ(dir.st_mode & 07777, 0700u);
    EXPECT_EQ(dir.st_mtim.tv_sec, 1100000000);
    EXPECT_TRUE(S_ISFIFO(lstat_of(out + "/p").st_mode));
}

TEST_F(Scratch, SymlinkWithWrongHashIsNotCreated) {
    Entry link = zdtest::symlink("l", "target");
    link.wrong_hash = true;
    zdtest::write_archive(archive, {link});
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, Strings{"ROUND-TRIP FAIL: l (destino de symlink no coincide)"});
    EXPECT_EQ(run.result.failed, 1u);
    EXPECT_FALSE(exists(out + "/l"));
}

TEST_F(Scratch, HashMismatchWritesNothing) {
    Entry bad = zdtest::file("f", patterned(5000, 4));
    bad.wrong_hash = true;
    zdtest::write_archive(archive, {bad});
    for (const auto& dest : {std::optional<std::string>(out), std::optional<std::string>()}) {
        Outcome run = extract(archive, dest);
        EXPECT_EQ(run.failures, Strings{"ROUND-TRIP FAIL: f (blake3 no coincide)"});
        EXPECT_EQ(run.result.files, 1u);
        EXPECT_EQ(run.result.bytes, 5000u);
        EXPECT_EQ(run.result.failed, 1u);
    }
    EXPECT_EQ(zdtest::listing(out), Strings{});
}

TEST_F(Scratch, FailuresKeepIndexOrderAcrossWorkers) {
    std::vector<Entry> entries;
    Strings want;
    for (int i = 0; i < 10; ++i) {
        entries.push_back(zdtest::file("f" + std::to_string(i), "x" + std::to_string(i)));
        entries.back().wrong_hash = true;
        want.push_back("ROUND-TRIP FAIL: f" + std::to_string(i) + " (blake3 no coincide)");
    }
    zdtest::write_archive(archive, entries);
    EXPECT_EQ(extract(archive, std::nullopt).failures, want);
}

TEST_F(Scratch, ZeroBlocksBecomeHoles) {
    const std::string zeros(1 << 20, '\0');
    const std::string holey = "A" + std::string(200 << 10, '\0') + "B" + std::string(100 << 10, '\0');
    Options opt;
    opt.chunk = 1 << 16;
    opt.frame = 1 << 21;
    zdtest::write_archive(archive, {zdtest::file("zeros", zeros), zdtest::file("holey", holey)}, opt);
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, Strings{});

    struct stat z = lstat_of(out + "/zeros");
    EXPECT_EQ(z.st_size, 1 << 20);
    EXPECT_EQ(z.st_blocks, 0);
    EXPECT_EQ(zdtest::slurp(out + "/zeros"), zeros);
    struct stat h = lstat_of(out + "/holey");
    EXPECT_EQ(zdtest::slurp(out + "/holey"), holey);
    EXPECT_LE(h.st_blocks * 512, 2 << 16);  // only the two 64 KiB blocks holding data
}

TEST_F(Scratch, HardLinkPairIsOneInode) {
    zdtest::write_archive(archive, {zdtest::file("a", "shared content"), zdtest::hard_link("dir/b", 0)});
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, Strings{});
    EXPECT_EQ(run.result.files, 2u);
    struct stat a = lstat_of(out + "/a");
    struct stat b = lstat_of(out + "/dir/b");
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
}

TEST_F(Scratch, HardLinkAloneIsAnIndependentFile) {
    Entry link = zdtest::hard_link("b", 0);
    link.mode = 0100600;
    zdtest::write_archive(archive, {zdtest::file("a", "shared content"), link});
    Outcome run = extract(archive, out, "b");
    EXPECT_EQ(run.failures, Strings{});
    EXPECT_EQ(run.result.files, 1u);
    EXPECT_EQ(run.result.bytes, std::string("shared content").size());
    EXPECT_FALSE(exists(out + "/a"));
    struct stat b = lstat_of(out + "/b");
    EXPECT_EQ(b.st_nlink, 1u);
    EXPECT_EQ(b.st_mode & 07777, 0600u);
    EXPECT_EQ(zdtest::slurp(out + "/b"), "shared content");
}

TEST_F(Scratch, HardLinkAloneIsCheckedAgainstTheTarget) {
    Entry bad = zdtest::file("a", "content");
    bad.wrong_hash = true;
    Entry jxl = zdtest::file("c.jpg", "pretend jxl");
    jxl.transform = zd::format::Transform{zd::format::TransformKind::Jxl, {}, {}};
    zdtest::write_archive(archive, {bad, zdtest::hard_link("b", 0), jxl, zdtest::hard_link("d", 2)});
    EXPECT_EQ(extract(archive, out, "b").failures, Strings{"ROUND-TRIP FAIL: b (blake3 no coincide)"});
    EXPECT_EQ(extract(archive, out, "d").failures,
              Strings{"ROUND-TRIP FAIL: d (transformada jxl no disponible en esta versión)"});
    EXPECT_EQ(zdtest::listing(out), Strings{});
}

TEST_F(Scratch, HardLinkToAMissingTargetFailsTheCopy) {
    Entry bad = zdtest::file("a", "content");
    bad.wrong_hash = true;
    zdtest::write_archive(archive, {bad, zdtest::hard_link("b", 0)});
    EXPECT_EQ(error_chain(archive, out), (Strings{"copiar a " + out + "/b", zd::sys_text(ENOENT)}));
}

TEST_F(Scratch, TransformedFileIsAFailureUntilTransformsExist) {
    Entry e = zdtest::file("log.txt", "stored form");
    e.transform = zd::format::Transform{zd::format::TransformKind::LogTs, {}, {}};
    zdtest::write_archive(archive, {e});
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, Strings{"ROUND-TRIP FAIL: log.txt (transformada log-ts no disponible en esta versión)"});
    EXPECT_EQ(run.result.failed, 1u);
    EXPECT_EQ(zdtest::listing(out), Strings{});
}

TEST_F(Scratch, SpecialFileWarningIsNotCounted) {
    const std::string name(300, 'p');  // too long a name: mknod fails
    zdtest::write_archive(archive, {zdtest::fifo(name)});
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures,
              Strings{"AVISO: " + name + " es un fichero especial y no se pudo recrear (¿hacen falta privilegios?)"});
    EXPECT_EQ(run.result.files, 1u);
    EXPECT_EQ(run.result.failed, 0u);
}

TEST_F(Scratch, PatternSelectsEntries) {
    zdtest::write_archive(archive, {zdtest::file("keep/a", "1"), zdtest::file("skip/b", "2")});
    Outcome run = extract(archive, out, "keep");
    EXPECT_EQ(run.result.files, 1u);
    EXPECT_EQ(zdtest::listing(out), Strings{"keep"});
}

TEST_F(Scratch, MetadataOrderKeepsSetuidAfterChown) {
    Entry e = zdtest::file("tool", "#!/bin/sh\n", 0104755);
    e.uid = 4242;
    e.gid = 4243;
    e.xattrs = {{"user.zd", {'v', '1'}}};
    zdtest::write_archive(archive, {e});
    EXPECT_EQ(extract(archive, out).failures, Strings{});
    struct stat st = lstat_of(out + "/tool");
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    if (::geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 4242u);
        EXPECT_EQ(st.st_gid, 4243u);
    }
    char value[8] = {};
    const ssize_t n = ::getxattr((out + "/tool").c_str(), "user.zd", value, sizeof value);
    if (n >= 0 || errno != ENOTSUP) {  // a file system without user attributes proves nothing
        EXPECT_EQ(std::string(value, size_t(std::max<ssize_t>(n, 0))), "v1");
    }
}

TEST_F(Scratch, CorruptFrameEndsTheExtraction) {
    Options opt;
    opt.mangle = [](uint32_t, zd::Bytes& stored) { stored.resize(stored.size() - 3); };
    zdtest::write_archive(archive, {zdtest::file("f", patterned(9000, 5))}, opt);
    EXPECT_NE(error_chain(archive, out), Strings{"(no error)"});
    EXPECT_EQ(zdtest::listing(out), Strings{});  // not even a temporary
    EXPECT_NE(error_chain(archive, std::nullopt), Strings{"(no error)"});
}

TEST_F(Scratch, UnsafePathsFailBeforeAnythingIsWritten) {
    for (const std::string& bad : Strings{"../x", "/etc/x", "a/../../x", "ok/..", std::string("a\0b", 3)}) {
        zdtest::write_archive(archive, {zdtest::file("first", "fine"), zdtest::file(bad, "evil")});
        const Strings want{"ruta insegura en índice: " + bad};
        EXPECT_EQ(error_chain(archive, out), want) << bad;
        EXPECT_EQ(error_chain(archive, out, "nomatch"), want) << bad;
        EXPECT_EQ(error_chain(archive, std::nullopt), want) << bad;
        EXPECT_FALSE(exists(out)) << bad;
    }
}

TEST_F(Scratch, ArchiveSymlinkIsNotFollowedByALaterEntry) {
    zdtest::TempDir outside;
    Options opt;
    opt.one_worker = true;
    zdtest::ScopedEnv ram("ZD_RAM_MB", "1000");
    zdtest::write_archive(archive, {zdtest::symlink("a", outside.path()), zdtest::file("a/x", "evil")}, opt);
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, Strings{"ROUND-TRIP FAIL: a/x (ruta insegura: atraviesa un enlace simbólico)"});
    EXPECT_EQ(run.result.failed, 1u);
    EXPECT_EQ(zdtest::listing(outside.path()), Strings{});
    EXPECT_TRUE(S_ISLNK(lstat_of(out + "/a").st_mode));
}

TEST_F(Scratch, LinkPlantedOnTheWayIsNotFollowed) {
    std::vector<Entry> cases = {zdtest::file("d/x", "evil"), zdtest::directory("d/sub"), zdtest::symlink("d/l", "t"),
                                zdtest::fifo("d/p"), zdtest::directory("d")};
    for (const Entry& e : cases) {
        zdtest::TempDir outside, dest;
        std::filesystem::create_directory_symlink(outside.path(), dest / "d");
        zdtest::write_archive(archive, {e});
        Outcome run = extract(archive, dest.path());
        EXPECT_EQ(run.failures,
                  Strings{"ROUND-TRIP FAIL: " + e.path + " (ruta insegura: atraviesa un enlace simbólico)"});
        EXPECT_EQ(run.result.failed, 1u);
        EXPECT_EQ(zdtest::listing(outside.path()), Strings{}) << e.path;
    }
}

TEST_F(Scratch, LinkPlantedAtTheNameIsReplacedNotFollowed) {
    for (const Entry& e : {zdtest::file("f", "new"), zdtest::symlink("f", "t"), zdtest::fifo("f")}) {
        zdtest::TempDir outside, dest;
        zdtest::spit(outside / "f", "keep");
        std::filesystem::create_symlink(outside / "f", dest / "f");
        zdtest::write_archive(archive, {e});
        EXPECT_EQ(extract(archive, dest.path()).failures, Strings{});
        EXPECT_EQ(zdtest::slurp(outside / "f"), "keep");
        EXPECT_EQ(lstat_of(outside / "f").st_mode & 07777, 0644u);
        EXPECT_EQ(lstat_of(dest / "f").st_mode & S_IFMT, e.mode & S_IFMT);
    }
}

TEST_F(Scratch, HardLinkStepRefusesPlantedLinksAndReportsFirst) {
    zdtest::TempDir outside;
    std::filesystem::create_directories(out);
    std::filesystem::create_directory_symlink(outside.path(), out + "/d");
    Entry bad = zdtest::file("z", "zz");
    bad.wrong_hash = true;
    zdtest::write_archive(archive, {zdtest::file("a", "content"), zdtest::hard_link("d/b", 0), bad});
    Outcome run = extract(archive, out);
    EXPECT_EQ(run.failures, (Strings{"ROUND-TRIP FAIL: d/b (ruta insegura: atraviesa un enlace simbólico)",
                                     "ROUND-TRIP FAIL: z (blake3 no coincide)"}));
    EXPECT_EQ(run.result.failed, 2u);
    EXPECT_EQ(zdtest::listing(outside.path()), Strings{});
}

TEST_F(Scratch, EntryNamingTheDestinationItselfIsRefused) {
    for (const std::string path : {".", "./.", "", "./"}) {
        zdtest::TempDir dest;
        ::chmod(dest.path().c_str(), 0751);
        for (Entry e : {zdtest::directory(path, 040700), zdtest::file(path, "x")}) {
            e.mtime = 1;
            zdtest::write_archive(archive, {e});
            Outcome run = extract(archive, dest.path());
            EXPECT_EQ(run.failures,
                      Strings{"ROUND-TRIP FAIL: " + path + " (ruta vacía: no puede reemplazar el destino)"});
            EXPECT_EQ(run.result.failed, 1u);
            struct stat st = lstat_of(dest.path());
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, 0751u);
            EXPECT_NE(st.st_mtim.tv_sec, 1);
            EXPECT_EQ(zdtest::listing(dest.path()), Strings{});
        }
    }
}

TEST(CuantosWorkers, Bounds) {
    cpu_set_t set;
    ASSERT_EQ(::sched_getaffinity(0, sizeof set, &set), 0);
    const size_t cpus = std::min<size_t>(size_t(CPU_COUNT(&set)), 12);

    auto index_of = [](size_t entries, size_t cm_frames) {
        zd::format::Index index;
        index.files.resize(entries);
        index.frames.resize(3);  // zstd frames do not bound anything
        index.frames[0].codec = zd::format::kZstd;
        for (size_t i = 0; i < cm_frames; ++i) index.frames.push_back({0, 0, 0, zd::format::kCm, 0});
        return index;
    };
    struct Case {
        size_t entries, cm_frames;
        const char* ram;  // null: unset
        size_t want;
    };
    const Case cases[] = {
        {100, 0, nullptr, cpus},
        {1, 0, nullptr, 1},
        {100, 1, "1000", 1},
        {100, 1, nullptr, 1},
        {100, 2, nullptr, std::min<size_t>(cpus, 2)},
        {100, 5, "4096", std::min<size_t>(cpus, 2)},
        {100, 5, "+4096", std::min<size_t>(cpus, 2)},
        {100, 5, "40960", std::min<size_t>(cpus, 5)},
        {100, 5, "lots", std::min<size_t>(cpus, 5)},
        {100, 5, "", std::min<size_t>(cpus, 5)},
    };
    const zdtest::ScopedEnv restore("ZD_RAM_MB", "");
    for (const Case& c : cases) {
        std::optional<zdtest::ScopedEnv> env;
        ::unsetenv("ZD_RAM_MB");
        if (c.ram) env.emplace("ZD_RAM_MB", c.ram);
        EXPECT_EQ(zd::extract::cuantos_workers(index_of(c.entries, c.cm_frames)), c.want)
            << c.entries << " entries, " << c.cm_frames << " cm frames, ZD_RAM_MB=" << (c.ram ? c.ram : "unset");
    }
}

}  // namespace
