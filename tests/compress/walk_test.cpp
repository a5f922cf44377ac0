#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "compress/walk.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"

namespace {

using namespace zd::compress;
using namespace std::string_literals;

const std::string kFffd = "\xEF\xBF\xBD";

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zd-walk-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string p(const std::string& rel) const { return root_ + "/" + rel; }
    void file(const std::string& rel, const std::string& content = "") const {
        zd::UniqueFd fd = zd::open_fd(p(rel), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_TRUE(fd.valid()) << rel;
        zd::write_all(fd.get(), {reinterpret_cast<const uint8_t*>(content.data()), content.size()});
    }
    void dir(const std::string& rel) const { ASSERT_EQ(::mkdir(p(rel).c_str(), 0755), 0) << rel; }
    void link(const std::string& target, const std::string& rel) const {
        ASSERT_EQ(::symlink(target.c_str(), p(rel).c_str()), 0) << rel;
    }
    // Relative names of the files to store.
    static std::vector<std::string> names(const Entradas& r) {
        std::vector<std::string> out;
        for (const auto& f : r.files) out.push_back(nombre_relativo(f, r.base));
        return out;
    }
    static std::vector<std::string> record_paths(const Entradas& r) {
        std::vector<std::string> out;
        for (const auto& rec : r.records) out.push_back(rec.path);
        return out;
    }

    std::string root_;
};

TEST_F(WalkTest, EntriesComeInByteOrderDepthFirst) {
    for (const char* d : {"c", "d", "d/y", "e", "e/inner"}) dir(d);
    for (const char* f : {"B", "a", "ab", "d/x", "z", "\xe9"}) file(f);
    ASSERT_EQ(::mkfifo(p("f").c_str(), 0644), 0);
    link("d", "l");

    std::vector<Entrada> out;
    recorrer(root_, out);
    // Raw bytes compare unsigned: 0xE9 sorts after "z". A link to a directory
    // is not descended into; "e" holds only an empty directory and is implied.
    std::vector<Entrada> want = {
        {p("B"), Tipo::Fichero},      {p("a"), Tipo::Fichero},   {p("ab"), Tipo::Fichero},
        {p("c"), Tipo::DirVacio},     {p("d/x"), Tipo::Fichero}, {p("d/y"), Tipo::DirVacio},
        {p("e/inner"), Tipo::DirVacio}, {p("f"), Tipo::Otro},    {p("l"), Tipo::Enlace},
        {p("z"), Tipo::Fichero},      {p("\xe9"), Tipo::Fichero},
    };
    EXPECT_EQ(out, want);
}

TEST_F(WalkTest, FailuresNameWhatFailed) {
    std::string missing = p("missing");
    try {
        std::vector<Entrada> out;
        recorrer(missing, out);
        ADD_FAILURE() << "recorrer of a missing directory succeeded";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), "leer directorio " + missing);
        EXPECT_EQ(e.causes(), std::vector<std::string>{zd::sys_text(ENOENT)});
    }
    try {
        toma_entradas({missing}, {});
        ADD_FAILURE() << "a missing input was accepted";
    } catch (const zd::Error& e) {
        EXPECT_EQ(e.message(), "stat " + missing);
        EXPECT_EQ(e.causes(), std::vector<std::string>{zd::sys_text(ENOENT)});
    }
}

TEST(WalkBase, SeveralInputsShareTheirLongestCommonFolder) {
    struct Case {
        std::vector<std::string> inputs;
        std::string base;
    };
    const Case cases[] = {
        {{}, "."},
        {{"/srv/a/x", "/srv/b/y"}, "/srv"},
        {{"/srv/a/x", "/srv/a/y"}, "/srv/a"},
        {{"/srv/a/x", "/srv/a"}, "/srv"},
        {{"/srv/a/y", "/srv/ab/x"}, "/srv"},  // component-wise, not a string prefix
        {{"a/x", "b/y"}, ""},
        {{"x", "y"}, ""},
        {{"./x", "./y"}, "."},
        {{"/x/a", "y/b"}, "/"},  // nothing above the root: stop there
    };
    for (const Case& c : cases) {
        EXPECT_EQ(base_folder(c.inputs), c.base) << ::testing::PrintToString(c.inputs);
    }
}

TEST(WalkNames, BaseIsRemovedAsWholeComponents) {
    struct Case {
        std::string path, base, name;
    };
    const Case cases[] = {
        {"/srv/a/x", "/srv", "a/x"},
        {"photos/a.jpg", "photos/", "a.jpg"},
        {"photos//sub/b.jpg", "photos", "sub/b.jpg"},
        {"./x/a", ".", "x/a"},
        {"a.txt", "", "a.txt"},
        {"ab/c", "a", "ab/c"},
        {"y/b", "/", "y/b"},
        {"/x/a", "/", "x/a"},
        {"d/\xff.txt", "d", kFffd + ".txt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nombre_relativo(c.path, c.base), c.name) << c.path << " in " << c.base;
    }
}

TEST(WalkNames, SnapshotNamePrefixesRecordNames) {
    EXPECT_EQ(record_name("", "a/b"), "a/b");
    EXPECT_EQ(record_name("s1", "a/b"), "s1/a/b");
}

TEST_F(WalkTest, NamesAreRelativeToTheFolderHoldingAllInputs) {
    for (const char* d : {"photos", "photos/sub", "notes", "dir", "srv", "srv/a", "srv/b"}) dir(d);
    for (const char* f : {"photos/a.jpg", "photos/sub/b.jpg", "notes/n.txt", "dir/a.txt", "srv/a/x", "srv/b/y"})
        file(f);
    struct Case {
        std::vector<std::string> inputs;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{"photos"}, {"a.jpg", "sub/b.jpg"}},
        {{"photos/"}, {"a.jpg", "sub/b.jpg"}},
        {{"photos", "notes"}, {"photos/a.jpg", "photos/sub/b.jpg", "notes/n.txt"}},
        {{"dir/a.txt"}, {"a.txt"}},
        {{"srv/a/x", "srv/b/y"}, {"a/x", "b/y"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> inputs;
        for (const auto& in : c.inputs) inputs.push_back(p(in));
        EXPECT_EQ(names(toma_entradas(inputs, {})), c.names) << ::testing::PrintToString(c.inputs);
    }
}

TEST_F(WalkTest, EmptyDirectoryInputYieldsNoEntry) {
    dir("empty");
    Entradas r = toma_entradas({p("empty")}, {});
    EXPECT_TRUE(r.records.empty());
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(r.recorded, 0u);
}

TEST_F(WalkTest, EntriesWithoutContentBecomeRecords) {
    dir("t");
    dir("t/sub");
    file("t/sub/x", "data");
    dir("t/e");
    ASSERT_EQ(::mkfifo(p("t/f").c_str(), 0640), 0);
    link("sub", "t/l");
    const timespec when[2] = {{1111, 0}, {1234567, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p("t/l").c_str(), when, AT_SYMLINK_NOFOLLOW), 0);

    Entradas r = toma_entradas({p("t")}, {});
    ASSERT_EQ(record_paths(r), (std::vector<std::string>{"e", "f", "l"}));
    EXPECT_EQ(r.recorded, 3u);
    EXPECT_EQ(names(r), std::vector<std::string>{"sub/x"});

    const auto& e = r.records[0];
    EXPECT_TRUE(S_ISDIR(e.mode));
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.hash, zd::blake3_16(std::string_view()));
    EXPECT_FALSE(e.link_target);

    const auto& f = r.records[1];
    EXPECT_EQ(f.mode, S_IFIFO | 0640u);
    EXPECT_EQ(f.hash, zd::blake3_16(std::string_view()));

    const auto& l = r.records[2];
    EXPECT_TRUE(S_ISLNK(l.mode));
    EXPECT_EQ(l.link_target, "sub");
    EXPECT_EQ(l.size, 3u);
    EXPECT_EQ(l.hash, zd::blake3_16(std::string_view("sub")));
    EXPECT_EQ(l.mtime, 1234567);
    EXPECT_EQ(l.uid, ::getuid());
    for (const auto& rec : r.records) {
        EXPECT_TRUE(rec.chunks.empty()) << rec.path;
        EXPECT_EQ(rec.rdev, 0u) << rec.path;
    }

    // Named on the command line, the same link is followed and walked.
    Entradas via_link = toma_entradas({p("t/l")}, {});
    EXPECT_EQ(via_link.files, std::vector<std::string>{p("t/l/x")});
    EXPECT_EQ(names(via_link), std::vector<std::string>{"x"});
}

TEST_F(WalkTest, DeviceRecordKeepsItsNumber) {
    if (::mknod(p("null").c_str(), S_IFCHR | 0600, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "mknod not permitted here";
    Entradas r = toma_entradas({root_}, {});
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].mode, S_IFCHR | 0600u);
    EXPECT_EQ(r.records[0].rdev, uint64_t(::makedev(1, 3)));
    EXPECT_TRUE(r.records[0].xattrs.empty());
}

TEST_F(WalkTest, SecondNameOfAnInodeIsAHardLink) {
    file("a", "same");
    file("c", "other");
    ASSERT_EQ(::link(p("a").c_str(), p("b").c_str()), 0);
    struct Case {
        std::vector<std::string> exclude;
        std::vector<std::string> files;
        std::vector<std::pair<std::string, std::string>> links;
    };
    // An excluded first name must not become the group's stored file.
    const Case cases[] = {
        {{}, {p("a"), p("c")}, {{p("b"), p("a")}}},
        {{"a"}, {p("b"), p("c")}, {}},
    };
    for (const Case& c : cases) {
        Entradas r = toma_entradas({root_}, c.exclude);
        EXPECT_EQ(r.files, c.files);
        EXPECT_EQ(r.hard_links, c.links);
    }
}

TEST_F(WalkTest, ExclusionCountsEveryDroppedEntry) {
    file("keep.txt");
    dir("node_modules");
    dir("node_modules/sub");
    dir("node_modules/empty");
    file("node_modules/x.js");
    file("node_modules/sub/y.js");
    link("x.js", "node_modules/l");
    Entradas r = toma_entradas({root_}, {"nothing-matches", "node_modules"});
    EXPECT_EQ(r.excluded, 4u);
    EXPECT_EQ(names(r), std::vector<std::string>{"keep.txt"});
    EXPECT_TRUE(r.records.empty());
    EXPECT_EQ(r.recorded, 0u);
}

TEST(WalkExclude, PatternsAreTheNonEmptyLinesOfTheVariable) {
    struct Case {
        std::optional<std::string> value;
        std::vector<std::string> patterns;
    };
    const Case cases[] = {
        {std::nullopt, {}},
        {"", {}},
        {"node_modules", {"node_modules"}},
        {"a\n\nb\n", {"a", "b"}},
        {"\xff\nx", {}},  // not UTF-8: no patterns at all
    };
    for (const Case& c : cases) {
        if (c.value) {
            ::setenv("ZD_EXCLUDE", c.value->c_str(), 1);
        } else {
            ::unsetenv("ZD_EXCLUDE");
        }
        EXPECT_EQ(exclude_patterns(), c.patterns) << c.value.value_or("(unset)");
    }
    ::unsetenv("ZD_EXCLUDE");
}

TEST_F(WalkTest, AttributesComeFromTheEntryItself) {
    file("x");
    ASSERT_EQ(::chmod(p("x").c_str(), 0640), 0);
    const timespec when[2] = {{1, 0}, {1700000000, 999}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p("x").c_str(), when, 0), 0);
    link("x", "l");

    Atributos a = atributos_de(p("x"));
    EXPECT_EQ(a.mtime, 1700000000);
    EXPECT_EQ(a.mode, S_IFREG | 0640u);
    EXPECT_EQ(a.uid, ::getuid());
    EXPECT_EQ(a.gid, ::getgid());
    EXPECT_TRUE(S_ISLNK(atributos_de(p("l")).mode));
    EXPECT_EQ(atributos_de(p("missing")), (Atributos{0, 0644, 0, 0, 0}));
}

TEST(WalkXattrs, ListIsFilteredAndSortedByNameBytes) {
    const std::string names = "user.b\0com.apple.FinderInfo\0\0user.\xff\0user.gone\0user.a\0com.apple.ResourceFork\0"s;
    std::vector<std::string> asked;
    auto got = xattrs_from_list(names, [&](const std::string& raw) -> std::optional<zd::Bytes> {
        asked.push_back(raw);
        if (raw == "user.gone") return std::nullopt;
        return zd::Bytes(raw.begin(), raw.end());
    });
    // The value is read under the raw name; the stored name is lossy UTF-8.
    std::vector<zd::format::Xattr> want = {
        {"user.a", zd::Bytes{'u', 's', 'e', 'r', '.', 'a'}},
        {"user.b", zd::Bytes{'u', 's', 'e', 'r', '.', 'b'}},
        {"user." + kFffd, zd::Bytes{'u', 's', 'e', 'r', '.', 0xff}},
    };
    EXPECT_EQ(got, want);
    EXPECT_EQ(asked, (std::vector<std::string>{"user.b", "user.\xff", "user.gone", "user.a"}));
}

TEST_F(WalkTest, XattrsAreReadFromThePathWithoutFollowingLinks) {
    file("x");
    dir("e");
    for (const std::string& path : {p("x"), p("e")}) {
        for (const auto& [name, value] : {std::pair{"user.b", "2"}, {"user.ab", ""}, {"user.a", "1"}}) {
            if (::setxattr(path.c_str(), name, value, std::strlen(value), 0) != 0)
                GTEST_SKIP() << "user xattrs unsupported here: " << zd::sys_text(errno);
        }
    }
    link("x", "l");
    std::vector<zd::format::Xattr> want = {
        {"user.a", zd::Bytes{'1'}}, {"user.ab", zd::Bytes{}}, {"user.b", zd::Bytes{'2'}}};
    EXPECT_EQ(xattrs_de(p("x")), want);
    EXPECT_TRUE(xattrs_de(p("l")).empty());
    EXPECT_TRUE(xattrs_de(p("missing")).empty());

    // An empty directory's record carries them; a link's does not.
    Entradas r = toma_entradas({root_}, {});
    ASSERT_EQ(record_paths(r), (std::vector<std::string>{"e", "l"}));
    EXPECT_EQ(r.records[0].xattrs, want);
    EXPECT_TRUE(r.records[1].xattrs.empty());
}

TEST_F(WalkTest, InvalidUtf8NamesAreStoredWithReplacement) {
    file("\xff.txt", "x");
    dir("\xfe");
    Entradas r = toma_entradas({root_}, {});
    // The real path stays for reading; the name replaces the bad byte.
    EXPECT_EQ(r.files, std::vector<std::string>{p("\xff.txt")});
    EXPECT_EQ(names(r), std::vector<std::string>{kFffd + ".txt"});
    EXPECT_EQ(record_paths(r), std::vector<std::string>{kFffd});
}

TEST_F(WalkTest, ArchiveBeingWrittenIsNeverWalked) {
    file("keep");
    file("out.zd");
    dir("box");
    file("box/out.zd.tmp");
    std::vector<FileId> skip;
    for (const char* rel : {"out.zd", "box/out.zd.tmp"}) {
        zd::UniqueFd fd = zd::open_fd(p(rel), O_RDONLY);
        ASSERT_TRUE(fd.valid());
        std::optional<FileId> id = file_id(fd.get());
        ASSERT_TRUE(id);
        skip.push_back(*id);
    }
    Entradas r = toma_entradas({root_}, {}, skip);
    EXPECT_EQ(names(r), std::vector<std::string>{"keep"});
    // What is left of "box" is an empty directory, kept so it is recreated.
    EXPECT_EQ(record_paths(r), std::vector<std::string>{"box"});
    EXPECT_EQ(r.excluded, 0u);

    Entradas named = toma_entradas({p("out.zd"), p("keep")}, {}, skip);
    EXPECT_EQ(named.files, std::vector<std::string>{p("keep")});
}

}  // namespace
