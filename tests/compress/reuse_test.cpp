#include "compress/reuse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "util/fd.h"

namespace {

using namespace zd::compress;
using zd::format::FileRec;
using zd::format::Index;

constexpr int64_t kPast = 1'600'000'000;  // well before any run of these tests

class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

FileRec rec(std::string path, uint64_t size, int64_t mtime) {
    FileRec r;
    r.path = std::move(path);
    r.size = size;
    r.mtime = mtime;
    r.mode = 0100644;
    return r;
}

class Reuse : public testing::Test {
protected:
    Reuse() {
        std::string tmpl = std::filesystem::temp_directory_path() / "zd-reuse-XXXXXX";
        if (::mkdtemp(tmpl.data())) root_ = tmpl;
    }
    ~Reuse() override { std::filesystem::remove_all(root_); }

    std::string p(const std::string& rel) const { return root_ + "/" + rel; }

    // A file of `size` bytes with its mtime set to `mtime`.
    std::string make(const std::string& rel, size_t size, int64_t mtime) {
        std::filesystem::create_directories(std::filesystem::path(p(rel)).parent_path());
        zd::UniqueFd fd = zd::open_fd(p(rel), O_WRONLY | O_CREAT | O_TRUNC, 0640);
        EXPECT_TRUE(fd.valid());
        zd::write_all(fd.get(), zd::Bytes(size, 'x'));
        set_mtime(p(rel), mtime, 0);
        return p(rel);
    }
    static void set_mtime(const std::string& path, int64_t mtime, int flags) {
        struct timespec times[2] = {{time_t(mtime), 0}, {time_t(mtime), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, flags), 0) << path;
    }

    std::string root_;
};

TEST(ReuseMap, KeysByAttributesInIndexOrderWithoutLinks) {
    EnvVar off("ZD_SIN_INCREMENTAL", nullptr);
    Index idx;
    idx.files.push_back(rec("s/a", 10, 5));
    FileRec link = rec("s/l", 10, 5);
    link.link_target = "a";
    idx.files.push_back(link);
    FileRec hard = rec("s/h", 10, 5);
    hard.hard_link = 0;
    idx.files.push_back(hard);
    idx.files.push_back(rec("s/b", 10, 6));
    idx.files.push_back(rec("t/a", 10, 5));

    const MapaReuso map = construye_mapa_reuso(idx);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at({10, 5}), (std::vector<uint32_t>{0, 4}));
    EXPECT_EQ(map.at({10, 6}), (std::vector<uint32_t>{3}));
}

TEST(ReuseMap, SwitchedOffByZdSinIncremental) {
    Index idx;
    idx.files.push_back(rec("s/a", 1, 1));
    struct Case {
        const char* value;
        bool empty;
    };
    for (const Case& c : {Case{"1", true}, Case{"si", true}, Case{"0", false}, Case{"", false}}) {
        EnvVar env("ZD_SIN_INCREMENTAL", c.value);
        EXPECT_EQ(construye_mapa_reuso(idx).empty(), c.empty) << "ZD_SIN_INCREMENTAL=" << c.value;
    }
}

TEST_F(Reuse, PathRuleWholeOrTailAfterSlash) {
    struct Case {
        const char* earlier;
        const char* relative;
        bool reused;
    };
    const Case cases[] = {
        {"docs/a.txt", "docs/a.txt", true},
        {"snap-1/docs/a.txt", "docs/a.txt", true},
        {"snap-1/docs/a.txt", "a.txt", true},
        {"snap-1/docs/xa.txt", "a.txt", false},
        {"snap-1/docs/a.txt", "docs/a.tx", false},
        {"a.txt", "docs/a.txt", false},
        {"snap-1/docs/b.txt", "docs/a.txt", false},
    };
    for (const Case& c : cases) {
        const std::string path = make(c.relative, 7, kPast);
        Index idx;
        idx.files.push_back(rec(c.earlier, 7, kPast));
        const MapaReuso map{{{7, kPast}, {0}}};
        const DecisionReuso d = decide_reuso(map, idx, path, root_, kPast + 1);
        EXPECT_EQ(d.reused, c.reused) << c.earlier << " for " << c.relative;
        std::filesystem::remove(path);
    }
}

TEST_F(Reuse, FirstMatchingRecordWins) {
    const std::string path = make("docs/a.txt", 3, kPast);
    Index idx;
    idx.files.push_back(rec("s1/other.txt", 3, kPast));
    idx.files.push_back(rec("s1/docs/a.txt", 3, kPast));
    idx.files.push_back(rec("s2/docs/a.txt", 3, kPast));
    const DecisionReuso d = decide_reuso(construye_mapa_reuso(idx), idx, path, root_, kPast + 1);
    ASSERT_TRUE(d.reused);
    EXPECT_EQ(d.record, 1u);
}

TEST_F(Reuse, NeedsSameSizeAndMtimeBeforeTheRunsSecond) {
    Index idx;
    idx.files.push_back(rec("s1/a", 4, kPast));
    const MapaReuso map = construye_mapa_reuso(idx);
    struct Case {
        size_t size;
        int64_t mtime;
        int64_t start;
        bool reused;
    };
    const Case cases[] = {
        {4, kPast, kPast + 1, true},
        {4, kPast, kPast, false},      // changed in the run's own second
        {4, kPast, kPast - 1, false},  // the clock says the file is from the future
        {5, kPast, kPast + 1, false},
        {4, kPast - 1, kPast + 1, false},
    };
    for (const Case& c : cases) {
        const std::string path = make("a", c.size, c.mtime);
        EXPECT_EQ(decide_reuso(map, idx, path, root_, c.start).reused, c.reused)
            << c.size << " B, mtime " << c.mtime << ", start " << c.start;
    }
}

TEST_F(Reuse, AttributesCapturedWithoutFollowingLinks) {
    const std::string path = make("a", 4, kPast);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    Index idx;
    const DecisionReuso d = decide_reuso({}, idx, path, root_, kPast + 1);
    EXPECT_FALSE(d.reused);
    EXPECT_EQ(d.attrs.mode, 0100600u);
    EXPECT_EQ(d.attrs.mtime, kPast);
    EXPECT_EQ(d.attrs.uid, ::getuid());
    EXPECT_EQ(d.attrs.gid, ::getgid());

    const DecisionReuso gone = decide_reuso({}, idx, p("missing"), root_, kPast + 1);
    EXPECT_FALSE(gone.reused);
    EXPECT_EQ(gone.attrs, Atributos{});
    EXPECT_EQ(gone.attrs.mode, 0644u);
}

TEST_F(Reuse, SizeComesFromTheTargetOfALink) {
    // A dangling link has an lstat size (its target text) but no stat: it
    // must not match a record keyed by that lstat size.
    const std::string target = "nowhere-at-all";
    ASSERT_EQ(::symlink(target.c_str(), p("l").c_str()), 0);
    set_mtime(p("l"), kPast, AT_SYMLINK_NOFOLLOW);
    Index idx;
    idx.files.push_back(rec("s1/l", target.size(), kPast));
    EXPECT_FALSE(decide_reuso(construye_mapa_reuso(idx), idx, p("l"), root_, kPast + 1).reused);

    // Pointing at a real file, the key is (the target's size, the link's mtime).
    make(target, 9, kPast - 100);
    idx.files[0].size = 9;
    const DecisionReuso d = decide_reuso(construye_mapa_reuso(idx), idx, p("l"), root_, kPast + 1);
    EXPECT_TRUE(d.reused);
    EXPECT_EQ(d.attrs.mode & S_IFMT, unsigned(S_IFLNK));
}

TEST(ReuseRecord, CopiesContentTakesNewNameAndAttributes) {
    FileRec earlier = rec("s1/docs/a.gz", 1234, 77);
    earlier.chunks = {4, 2, 9};
    earlier.hash[0] = 0xAB;
    earlier.xattrs = {{"user.old", {1}}};
    earlier.transform = zd::format::Transform{zd::format::TransformKind::Deflate, {1, 2, 3}, {}};
    earlier.uid = 5;

    Atributos at;
    at.mtime = 99;
    at.mode = 0100600;
    at.uid = 1000;
    at.gid = 100;
    at.rdev = 42;  // never carried into a file's record
    const FileRec r = registro_reusado(earlier, "s2/docs/a.gz", at, {{"user.new", {2}}});

    FileRec expected = earlier;
    expected.path = "s2/docs/a.gz";
    expected.xattrs = {{"user.new", {2}}};
    expected.mtime = 99;
    expected.mode = 0100600;
    expected.uid = 1000;
    expected.gid = 100;
    expected.rdev = 0;
    EXPECT_EQ(r, expected);
}

TEST(ReuseClock, StartIsTheCurrentSecond) {
    const int64_t before = int64_t(std::time(nullptr));
    const int64_t start = segundos_de_inicio();
    const int64_t after = int64_t(std::time(nullptr));
    EXPECT_GE(start, before);
    EXPECT_LE(start, after);
}

}  // namespace
