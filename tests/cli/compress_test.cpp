// End-to-end runs of `zundra compress`, `info` and `list` on small trees.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "cli/binary.h"
#include "format/container.h"

namespace {

using zdtest::TempDir;
using zdtest::write_file;
using zdtest::zundra;

std::string random_text(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng());
    return s;
}

off_t size_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(CompressCli, TreeRoundTripsThroughTheIndex) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    ::mkdir((t / "in/sub").c_str(), 0755);
    ::mkdir((t / "in/empty").c_str(), 0755);
    write_file(t / "in/a.txt", std::string(200000, 'a'));
    write_file(t / "in/sub/b.bin", random_text(300000, 1));
    write_file(t / "in/sub/copy.bin", random_text(300000, 1));
    write_file(t / "in/zero", "");
    ASSERT_EQ(::symlink("a.txt", (t / "in/link").c_str()), 0);
    ASSERT_EQ(::link((t / "in/a.txt").c_str(), (t / "in/hard").c_str()), 0);

    auto r = zundra({"compress", t / "in", "-o", t / "x.zd", "--level", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("input:      "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(2 unique chunks of 3)"), std::string::npos) << r.out;

    zd::format::Archivo a = zd::format::abrir(t / "x.zd");
    EXPECT_EQ(a.index.level, 3);
    std::vector<std::string> paths;
    for (const auto& f : a.index.files) paths.push_back(f.path);
    // Records without content first, then stored files, hard links last.
    EXPECT_EQ(paths, (std::vector<std::string>{"empty", "link", "a.txt", "sub/b.bin", "sub/copy.bin", "zero", "hard"}));
    const auto& hard = a.index.files.back();
    ASSERT_TRUE(hard.hard_link.has_value());
    EXPECT_EQ(a.index.files[*hard.hard_link].path, "a.txt");
    EXPECT_EQ(a.index.files[3].chunks, a.index.files[4].chunks);  // duplicate content stored once
    EXPECT_TRUE(a.index.files[5].chunks.empty());

    // The reported output size is the file's size.
    auto pos = r.out.find("output:");
    ASSERT_NE(pos, std::string::npos);
    EXPECT_EQ(std::stoll(r.out.substr(pos + 7)), size_of(t / "x.zd"));

    auto info = zundra({"info", t / "x.zd"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out.substr(0, 9), "files: 7 ");
    auto list = zundra({"list", t / "x.zd", "--file", "sub"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("sub/b.bin\n"), std::string::npos);
    EXPECT_EQ(list.out.find("a.txt"), std::string::npos);
    EXPECT_EQ(list.err.substr(0, 10), "2 entries,");
}

TEST(CompressCli, StandardInputWithAndWithoutName) {
    TempDir t;
    write_file(t / "data", std::string(5000, 'q'));
    for (const char* name : {"", "s1"}) {
        std::vector<std::string> args = {"compress", "--stdin", "ignored", "-o", t / "s.zd"};
        if (*name) args.insert(args.end(), {"--name", name});
        auto r = zundra(args, t / "data");
        ASSERT_EQ(r.status, 0) << r.err;
        zd::format::Archivo a = zd::format::abrir(t / "s.zd");
        ASSERT_EQ(a.index.files.size(), 1u);
        EXPECT_EQ(a.index.files[0].path, *name ? "s1/stdin" : "stdin");
        EXPECT_EQ(a.index.files[0].size, 5000u);
        EXPECT_EQ(a.index.files[0].mode, 0644u);
    }
}

TEST(CompressCli, EmptyDirectoryGivesAnEmptyOpenableArchive) {
    TempDir t;
    ::mkdir((t / "e").c_str(), 0755);
    auto r = zundra({"compress", t / "e", "-o", t / "e.zd"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("That is the fixed cost of the container"), std::string::npos) << r.out;
    zd::format::Archivo a = zd::format::abrir(t / "e.zd");
    EXPECT_TRUE(a.index.files.empty());
    EXPECT_TRUE(a.index.frames.empty());
}

TEST(CompressCli, NeverArchivesItsOwnOutput) {
    TempDir t;
    write_file(t / "a.txt", "hello");
    auto first = zundra({"compress", t.path(), "-o", t / "x.zd"});
    ASSERT_EQ(first.status, 0) << first.err;
    auto again = zundra({"compress", t.path(), "-o", t / "x.zd"});
    ASSERT_EQ(again.status, 0) << again.err;
    zd::format::Archivo a = zd::format::abrir(t / "x.zd");
    ASSERT_EQ(a.index.files.size(), 1u);
    EXPECT_EQ(a.index.files[0].path, "a.txt");
}

TEST(CompressCli, FailedRunKeepsThePreviousArchive) {
    TempDir t;
    ::chmod(t.path().c_str(), 0777);
    ::mkdir((t / "in").c_str(), 0755);
    write_file(t / "in/a", "first");
    ASSERT_EQ(zundra({"compress", t / "in", "-o", t / "x.zd"}).status, 0);
    const std::string before = zdtest::slurp(t / "x.zd");

    write_file(t / "in/b", "secret");
    ::chmod((t / "in/b").c_str(), 0);
    auto r = zundra({"compress", t / "in", "-o", t / "x.zd"}, "/dev/null", {}, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: abrir " + (t / "in/b") + "\n\nCaused by:\n    Permission denied\n");
    EXPECT_EQ(zdtest::slurp(t / "x.zd"), before);
    auto listing = zdtest::zundra({"list", t / "x.zd"});
    EXPECT_EQ(listing.status, 0);
    // Nothing but the input folder and the archive is left.
    EXPECT_EQ(std::system(("test $(ls -A '" + t.path() + "' | wc -l) -eq 2").c_str()), 0);
}

TEST(CompressCli, MissingInputIsRefusedBeforeAnyWork) {
    TempDir t;
    auto r = zundra({"compress", t / "missing", "-o", t / "x.zd"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: " + (t / "missing") + ": no such file or directory\n");
    EXPECT_NE(::access((t / "x.zd").c_str(), F_OK), 0);
}

TEST(CompressCli, ExcludeIsRepeatableAndCounted) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    ::mkdir((t / "in/node_modules").c_str(), 0755);
    write_file(t / "in/node_modules/x.js", "x");
    write_file(t / "in/node_modules/y.js", "y");
    write_file(t / "in/keep.c", "int main;");
    write_file(t / "in/junk.tmp", "tmp");
    auto r = zundra({"compress", t / "in", "-o", t / "x.zd", "--exclude", "node_modules", "--exclude", "*.tmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("excluded:   3 entries skipped by --exclude\n"), std::string::npos) << r.out;
    zd::format::Archivo a = zd::format::abrir(t / "x.zd");
    ASSERT_EQ(a.index.files.size(), 1u);
    EXPECT_EQ(a.index.files[0].path, "keep.c");
}

}  // namespace

namespace {

// Raw names that read the same once invalid UTF-8 is replaced must not end up
// as one path: extracting them would silently keep only one.
TEST(CompressCli, NamesThatCollideInUtf8StayDistinct) {
    TempDir t;
    ::mkdir((t / "in").c_str(), 0755);
    write_file(t / "in/a\xff", "XXXX");
    write_file(t / "in/a\xfe", "YYYY");
    ASSERT_EQ(::link((t / "in/a\xfe").c_str(), (t / "in/h").c_str()), 0);
    auto r = zundra({"compress", t / "in", "-o", t / "x.zd"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("aviso: a\xEF\xBF\xBD se guarda como a\xEF\xBF\xBD~2"), std::string::npos) << r.err;
    auto x = zundra({"extract", t / "x.zd", "-o", t / "out"});
    ASSERT_EQ(x.status, 0) << x.err;
    const std::string first = zdtest::slurp(t / "out/a\xEF\xBF\xBD");
    const std::string second = zdtest::slurp(t / "out/a\xEF\xBF\xBD~2");
    EXPECT_EQ(first + second == "XXXXYYYY" || first + second == "YYYYXXXX", true) << first << second;
    EXPECT_EQ(zdtest::slurp(t / "out/h"), "YYYY");
}

}  // namespace
