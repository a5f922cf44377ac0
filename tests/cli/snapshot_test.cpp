// End-to-end runs of `zundra add` and `forget`: snapshots side by side in one
// archive, reuse of unchanged files, compaction, refusals that leave the
// archive as it was, encrypted archives, and the writers' lock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>

#include "cli/binary.h"
#include "cli/tree.h"
#include "format/container.h"

namespace {

using zdtest::describe;
using zdtest::differences;
using zdtest::mib;
using zdtest::random_bytes;
using zdtest::set_mtime;
using zdtest::slurp;
using zdtest::TempDir;
using zdtest::Tree;
using zdtest::write_file;
using zdtest::zundra;

constexpr time_t kPast = 1500000000;
const std::string kNotice = "deriving key (Argon2id, 64 MiB, 3 passes)\u2026\n";

std::string right12(uint64_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%12llu", static_cast<unsigned long long>(n));
    return buf;
}

uint64_t size_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// Working files that a finished add or forget must not leave behind.
bool leftovers(const TempDir& t, const std::string& stem) {
    return ::access((t / (stem + ".zd.parcial")).c_str(), F_OK) == 0 ||
           ::access((t / (stem + ".zd.compactando")).c_str(), F_OK) == 0;
}

// Regular files only, in nested folders, all with mtimes well in the past so
// an unchanged file qualifies for reuse. img/photo.raw is random and lives in
// a frame of its own.
void make_first(const std::string& in) {
    for (const char* d : {"", "/docs", "/docs/deep", "/img"}) ::mkdir((in + d).c_str(), 0755);
    write_file(in + "/docs/a.txt", "alpha\n");
    write_file(in + "/docs/deep/b.txt", "bravo\n");
    write_file(in + "/keep.txt", std::string(5000, 'k'));
    write_file(in + "/img/photo.raw", random_bytes(150000, 11));
    for (const char* f : {"/docs/a.txt", "/docs/deep/b.txt", "/keep.txt", "/img/photo.raw"})
        set_mtime(in + f, kPast);
}

// One file changed, one removed, one added; two left as they were.
void change(const std::string& in) {
    write_file(in + "/docs/deep/b.txt", "bravo, rewritten\n");
    set_mtime(in + "/docs/deep/b.txt", kPast + 100);
    ::unlink((in + "/img/photo.raw").c_str());
    ::rmdir((in + "/img").c_str());
    write_file(in + "/new.txt", "charlie\n");
    set_mtime(in + "/new.txt", kPast + 200);
}

uint64_t regular_bytes(const Tree& tree) {
    uint64_t n = 0;
    for (const auto& [path, node] : tree)
        if (node.kind == '-') n += node.data.size();
    return n;
}

std::string add_report(const std::string& name, size_t files, uint64_t input, size_t unchanged,
                       uint64_t unchanged_bytes, uint64_t archive_size) {
    return "snapshot «" + name + "»: " + std::to_string(files) + " files, " + mib(input) + " MiB of input\n" +
           "unchanged:  " + right12(unchanged) + " files reused whole \\(" + mib(unchanged_bytes) +
           " MiB not re-read\\)\n" + "dedup:      +[0-9]+ B reused \\([0-9]+ new chunks of [0-9]+\\)\n" +
           "archive:    " + right12(archive_size) + " B\n" + "time:       [0-9]+\\.[0-9]s\n";
}

std::vector<std::string> paths_of(const std::string& archive) {
    std::vector<std::string> out;
    for (const auto& f : zd::format::abrir(archive).index.files) out.push_back(f.path);
    return out;
}

TEST(SnapshotCli, AddKeepsBothSnapshotsAndReusesUnchangedFiles) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    make_first(in);
    const Tree first = describe(in);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "3"}).status, 0);

    change(in);
    const Tree second = describe(in);
    auto add = zundra({"add", archive, in, "--name", "s2", "--level", "3"});
    ASSERT_EQ(add.status, 0) << add.err;
    EXPECT_EQ(add.err, "");
    const uint64_t unchanged_bytes = second.at("docs/a.txt").size + second.at("keep.txt").size;
    EXPECT_TRUE(std::regex_match(
        add.out, std::regex(add_report("s2", 4, regular_bytes(second), 2, unchanged_bytes, size_of(archive)))))
        << add.out;
    EXPECT_FALSE(leftovers(t, "a"));

    auto list = zundra({"list", archive});
    ASSERT_EQ(list.status, 0) << list.err;
    for (const char* p : {"s1/docs/a.txt", "s1/img/photo.raw", "s2/docs/deep/b.txt", "s2/new.txt"})
        EXPECT_NE(list.out.find(std::string(" ") + p + "\n"), std::string::npos) << p << "\n" << list.out;
    EXPECT_EQ(list.err.rfind("8 entries, ", 0), 0u) << list.err;

    for (const auto& [name, tree] : {std::pair{"s1", &first}, std::pair{"s2", &second}}) {
        SCOPED_TRACE(name);
        const std::string out = t / ("out-" + std::string(name));
        auto x = zundra({"extract", archive, "-o", out, "--file", name});
        ASSERT_EQ(x.status, 0) << x.err;
        EXPECT_EQ(differences(*tree, describe(out + "/" + name)), "");
        EXPECT_EQ(describe(out).size(), describe(out + "/" + name).size() + 1);  // nothing beside the snapshot
    }

    // Nothing changed: every file is reused, no frame and no chunk is added.
    const zd::format::Index before = zd::format::abrir(archive).index;
    auto again = zundra({"add", archive, in, "--name", "s3"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("unchanged:  " + right12(4) + " files reused whole"), std::string::npos) << again.out;
    const zd::format::Index after = zd::format::abrir(archive).index;
    EXPECT_EQ(after.frames, before.frames);
    EXPECT_EQ(after.chunks, before.chunks);
    EXPECT_EQ(after.files.size(), before.files.size() + 4);
    auto check = zundra({"verify", archive});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out.rfind("OK: 12 files, ", 0), 0u) << check.out;
}

TEST(SnapshotCli, ReuseNeedsAFileOlderThanTheRunAndCanBeSwitchedOff) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    ::mkdir(in.c_str(), 0755);
    write_file(in + "/old.txt", "old\n");
    write_file(in + "/recent.txt", "recent\n");
    set_mtime(in + "/old.txt", kPast);
    // Size and mtime match the stored record, but a time that is not before
    // the run's start could still be followed by a change in that second.
    set_mtime(in + "/recent.txt", ::time(nullptr) + 3600);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "1"}).status, 0);
    // A reused file still takes the metadata it has now.
    ::chmod((in + "/old.txt").c_str(), 0600);
    auto add = zundra({"add", archive, in, "--name", "s2", "--level", "1"});
    ASSERT_EQ(add.status, 0) << add.err;
    EXPECT_NE(add.out.find("unchanged:  " + right12(1) + " files reused whole"), std::string::npos) << add.out;
    ASSERT_EQ(zundra({"extract", archive, "-o", t / "out", "--file", "s2"}).status, 0);
    EXPECT_EQ(differences(describe(in), describe(t / "out/s2")), "");

    auto unchanged = zundra({"add", archive, in, "--name", "s3"}, "/dev/null", {"ZD_SIN_INCREMENTAL=1"});
    ASSERT_EQ(unchanged.status, 0) << unchanged.err;
    EXPECT_NE(unchanged.out.find("unchanged:  " + right12(0) + " files reused whole"), std::string::npos)
        << unchanged.out;
}

TEST(SnapshotCli, ForgetCompactsAwayOneSnapshot) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    make_first(in);
    const std::string photo = slurp(in + "/img/photo.raw");
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "3"}).status, 0);
    change(in);
    const Tree second = describe(in);
    ASSERT_EQ(zundra({"add", archive, in, "--name", "s2", "--level", "3"}).status, 0);
    const uint64_t before = size_of(archive);
    ASSERT_TRUE(zdtest::archive_contains(archive, photo.substr(70000, 64)));

    auto f = zundra({"forget", archive, "s1"});
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(f.err, "");
    const uint64_t after = size_of(archive);
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f", 100.0 * double(before - after) / double(before));
    const std::string report = "snapshot «s1» removed and archive compacted\n"
                               "before:     " + right12(before) + " B \\(" + mib(before) + " MiB\\)\n" +
                               "after:      " + right12(after) + " B \\(" + mib(after) + " MiB\\)\n" +
                               "freed:      " + right12(before - after) + " B \\(" + percent + "%\\)\n" +
                               "time:       [0-9]+\\.[0-9]s\n";
    EXPECT_TRUE(std::regex_match(f.out, std::regex(report))) << f.out;
    EXPECT_FALSE(leftovers(t, "a"));

    // The frame only s1 used is gone with it.
    EXPECT_FALSE(zdtest::archive_contains(archive, photo.substr(70000, 64)));
    EXPECT_EQ(paths_of(archive),
              (std::vector<std::string>{"s2/docs/a.txt", "s2/docs/deep/b.txt", "s2/keep.txt", "s2/new.txt"}));
    auto x = zundra({"extract", archive, "-o", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(differences(second, describe(t / "out/s2")), "");
}

TEST(SnapshotCli, HardLinksOfAnAddedSnapshotStayInsideIt) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    ::mkdir(in.c_str(), 0755);
    write_file(in + "/h1", "one inode\n");
    ::link((in + "/h1").c_str(), (in + "/h2").c_str());
    set_mtime(in + "/h1", kPast);
    const Tree tree = describe(in);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "1"}).status, 0);
    ASSERT_EQ(zundra({"add", archive, in, "--name", "s2", "--level", "1"}).status, 0);
    // Were s2's link aimed at s1's record, forgetting s1 would have to refuse.
    auto f = zundra({"forget", archive, "s1"});
    ASSERT_EQ(f.status, 0) << f.err;
    auto x = zundra({"extract", archive, "-o", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(differences(tree, describe(t / "out/s2")), "");
}

TEST(SnapshotCli, ForgetRefusalsLeaveTheArchiveAsItWas) {
    TempDir t;
    const std::string in = t / "in";
    make_first(in);
    ASSERT_EQ(zundra({"compress", in, "-o", t / "one.zd", "--name", "s1", "--level", "1"}).status, 0);
    ASSERT_EQ(zundra({"compress", in, "-o", t / "two.zd", "--name", "s1", "--level", "1"}).status, 0);
    ASSERT_EQ(zundra({"add", t / "two.zd", in, "--name", "s10"}).status, 0);

    struct Case {
        const char* archive;
        const char* name;
        std::string message;
    };
    const Case cases[] = {
        {"two", "s9", "no hay ninguna instantánea «s9» en este archivo. Mira las que hay con `zundra list`."},
        // Membership needs the "/" after the name.
        {"two", "s", "no hay ninguna instantánea «s» en este archivo. Mira las que hay con `zundra list`."},
        {"one", "s1",
         "«s1» es todo lo que hay en el archivo: borrarla lo dejaría vacío. Si es lo que quieres, borra el fichero "
         ".zd."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = t / (std::string(c.archive) + ".zd");
        const std::string bytes = slurp(archive);
        auto r = zundra({"forget", archive, c.name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: " + c.message + "\n");
        EXPECT_EQ(slurp(archive), bytes);
        EXPECT_FALSE(leftovers(t, c.archive));
    }

    // s1 goes, s10 stays whole.
    auto r = zundra({"forget", t / "two.zd", "--name", "s1/"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& p : paths_of(t / "two.zd")) EXPECT_EQ(p.rfind("s10/", 0), 0u) << p;
    EXPECT_EQ(zundra({"verify", t / "two.zd"}).status, 0);
}

TEST(SnapshotCli, FailedAddLeavesTheArchiveAsItWas) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    make_first(in);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "1"}).status, 0);
    const std::string bytes = slurp(archive);
    auto r = zundra({"add", archive, t / "missing", "--name", "s2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: stat " + (t / "missing") + "\n\nCaused by:\n    No such file or directory\n");
    EXPECT_EQ(slurp(archive), bytes);
    EXPECT_FALSE(leftovers(t, "a"));
}

TEST(SnapshotCli, LinksEmptyFoldersAndDevicesBelongToTheirSnapshot) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    ::mkdir(in.c_str(), 0755);
    ::mkdir((in + "/empty").c_str(), 0755);
    write_file(in + "/f.txt", "f\n");
    ::symlink("f.txt", (in + "/link").c_str());
    ::mkfifo((in + "/fifo").c_str(), 0644);
    const Tree tree = describe(in);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "1"}).status, 0);
    for (const auto& p : paths_of(archive)) EXPECT_EQ(p.rfind("s1/", 0), 0u) << p;

    auto only = zundra({"forget", archive, "s1"});
    EXPECT_EQ(only.status, 1);
    ASSERT_EQ(zundra({"add", archive, in, "--name", "s2"}).status, 0);
    auto x = zundra({"extract", archive, "-o", t / "out", "--file", "s2"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(differences(tree, describe(t / "out/s2")), "");
}

TEST(SnapshotCli, AddHonoursExclude) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    make_first(in);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "1"}).status, 0);
    ::mkdir((in + "/cache").c_str(), 0755);
    write_file(in + "/cache/blob", "cached");
    write_file(in + "/docs/scratch.tmp", "tmp");
    auto add = zundra({"add", archive, in, "--name", "s2", "--exclude", "*.tmp", "--exclude", "cache"});
    ASSERT_EQ(add.status, 0) << add.err;
    std::vector<std::string> s2;
    for (const auto& p : paths_of(archive))
        if (p.rfind("s2/", 0) == 0) s2.push_back(p);
    EXPECT_EQ(s2, (std::vector<std::string>{"s2/docs/a.txt", "s2/docs/deep/b.txt", "s2/img/photo.raw",
                                            "s2/keep.txt"}));
}

TEST(SnapshotCli, AddNeverStoresTheArchiveOrItsWorkingCopy) {
    TempDir t;
    const std::string in = t / "in", archive = t / "in/a.zd";
    ::mkdir(in.c_str(), 0755);
    write_file(in + "/a.txt", "a\n");
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "1"}).status, 0);
    auto add = zundra({"add", archive, in, "--name", "s2", "--level", "1"});
    ASSERT_EQ(add.status, 0) << add.err;
    EXPECT_EQ(paths_of(archive), (std::vector<std::string>{"s1/a.txt", "s2/a.txt"}));
}

TEST(SnapshotCli, EncryptedArchiveTakesAndLosesSnapshots) {
    TempDir t;
    const std::string in = t / "in", archive = t / "e.zd";
    const std::vector<std::string> env = {"ZD_PASSWORD=snapshots are sealed too"};
    make_first(in);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--encrypt", "--level", "1"}, "/dev/null", env)
                  .status,
              0);
    const std::string header = slurp(archive).substr(0, 40);

    const std::string fresh = random_bytes(100000, 99);
    write_file(in + "/fresh.bin", fresh);
    set_mtime(in + "/fresh.bin", kPast);
    const Tree second = describe(in);
    ::unsetenv("ZD_PASSWORD");
    const std::string sealed = slurp(archive);
    auto refused = zundra({"add", archive, in, "--name", "s2"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("Error: hace falta una contraseña: ", 0), 0u) << refused.err;
    EXPECT_EQ(slurp(archive), sealed);

    auto add = zundra({"add", archive, in, "--name", "s2", "--level", "1"}, "/dev/null", env);
    ASSERT_EQ(add.status, 0) << add.err;
    EXPECT_EQ(add.err, kNotice);
    EXPECT_EQ(slurp(archive).substr(0, 40), header);
    EXPECT_FALSE(zdtest::archive_contains(archive, fresh.substr(50000, 64)));
    auto v = zundra({"verify", archive}, "/dev/null", env);
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out.rfind("OK: 9 files, ", 0), 0u) << v.out;

    auto f = zundra({"forget", archive, "s1"}, "/dev/null", env);
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(slurp(archive).substr(0, 40), header);
    auto x = zundra({"extract", archive, "-o", t / "out"}, "/dev/null", env);
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(differences(second, describe(t / "out/s2")), "");
    EXPECT_EQ(describe(t / "out").size(), second.size() + 1);
}

TEST(SnapshotCli, WritersWaitForNobody) {
    TempDir t;
    const std::string in = t / "in", archive = t / "a.zd";
    make_first(in);
    ASSERT_EQ(zundra({"compress", in, "-o", archive, "--name", "s1", "--level", "1"}).status, 0);
    ASSERT_EQ(zundra({"add", archive, in, "--name", "s2"}).status, 0);
    const std::string bytes = slurp(archive);
    const int fd = ::open(archive.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const std::string busy = "Error: otro proceso esta escribiendo en " + archive +
                             ". Espera a que acabe y vuelve a intentarlo; si estas seguro de que no hay ninguno, es "
                             "que ha quedado un proceso colgado.\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"add", archive, in, "--name", "s3"}, {"forget", archive, "s1"}}) {
        SCOPED_TRACE(args[0]);
        auto r = zundra(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, busy);
        EXPECT_EQ(slurp(archive), bytes);
        EXPECT_FALSE(leftovers(t, "a"));
    }
    ::close(fd);
    EXPECT_EQ(zundra({"forget", archive, "s1"}).status, 0);
}

}  // namespace
