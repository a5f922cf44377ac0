#include "snapshot/lock.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snapshot/add.h"
#include "snapshot/forget.h"
#include "snapshot/replacement.h"
#include "support.h"

namespace {

using namespace zd::snapshot;
using snaptest::error_of;

std::string refusal(const std::string& path) {
    return "otro proceso esta escribiendo en " + path +
           ". Espera a que acabe y vuelve a intentarlo; si estas seguro de que no hay ninguno, es que ha quedado "
           "un proceso colgado.";
}

TEST(Candado, SecondLockRefusedAtOnceUntilTheFirstEnds) {
    snaptest::TempDir dir;
    const std::string path = dir / "a.zd";
    snaptest::write_file(path, "x");
    {
        Candado first = Candado::coge(path);
        EXPECT_EQ(error_of([&] { Candado::coge(path); }), std::vector<std::string>{refusal(path)});
    }
    EXPECT_NO_THROW(Candado::coge(path));
}

TEST(Candado, MissingArchive) {
    snaptest::TempDir dir;
    const std::string path = dir / "nope.zd";
    const std::vector<std::string> chain = error_of([&] { Candado::coge(path); });
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[0], "abrir " + path + " para bloquearlo");
    EXPECT_EQ(chain[1], zd::sys_text(ENOENT));
}

TEST(Candado, WritersRefusedWhileHeld) {
    snaptest::TempDir dir;
    const std::string archive = dir / "a.zd";
    snaptest::write_file(dir / "src/one.txt", snaptest::noise(5000, 1));
    snaptest::write_file(dir / "src/two.txt", snaptest::noise(5000, 2));
    snaptest::compress_new(archive, {dir / "src"}, "snap-1");
    zd::snapshot::anadir(archive, {dir / "src"}, "snap-2", 19, true, false, false, 0);
    const std::string old_bytes = snaptest::read_all(archive);

    const Candado held = Candado::coge(archive);
    EXPECT_EQ(error_of([&] { anadir(archive, {dir / "src"}, "snap-3", 19, true, false, false, 0); }),
              std::vector<std::string>{refusal(archive)});
    EXPECT_EQ(error_of([&] { olvidar(archive, "snap-1"); }), std::vector<std::string>{refusal(archive)});
    EXPECT_EQ(snaptest::read_all(archive), old_bytes);
    EXPECT_EQ(snaptest::listing(dir.path()), (std::vector<std::string>{"a.zd", "src"}));
}

TEST(SiblingPath, ExtensionReplacedOrAppended) {
    struct Case {
        const char* archive;
        const char* sibling;
    };
    const Case cases[] = {
        {"copia.zd", "copia.zd.parcial"},
        {"/a/b/copia.zd", "/a/b/copia.zd.parcial"},
        {"copia", "copia.zd.parcial"},
        {"copia.tar", "copia.tar.zd.parcial"},
        {"dir.zd/copia", "dir.zd/copia.zd.parcial"},
        {".zd", ".zd.zd.parcial"},
        {"copia.zdx", "copia.zdx.zd.parcial"},
    };
    for (const Case& c : cases) EXPECT_EQ(sibling_path(c.archive, "zd.parcial"), c.sibling) << c.archive;
}

TEST(Replacement, RemovedUnlessKeptOrReplaced) {
    snaptest::TempDir dir;
    const std::string path = dir / "w";
    { Replacement r = Replacement::create(path, 0600); }
    EXPECT_FALSE(std::filesystem::exists(path));
    {
        Replacement r = Replacement::create(path, 0600);
        r.keep();
    }
    EXPECT_TRUE(std::filesystem::exists(path));

    snaptest::write_file(dir / "target", "old");
    {
        Replacement r = Replacement::create(path, 0600);
        zd::write_all(r.fd(), {reinterpret_cast<const uint8_t*>("new"), 3});
        r.replace(dir / "target");
    }
    EXPECT_EQ(snaptest::read_all(dir / "target"), "new");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(Replacement, ReclaimsALeftoverWithTheGivenModeDespiteUmask) {
    snaptest::TempDir dir;
    const std::string path = dir / "w";
    snaptest::write_file(path, "stale leftover");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    const mode_t old_mask = ::umask(077);
    Replacement r = Replacement::create(path, 0640);
    ::umask(old_mask);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Replacement, ANameInUseIsRefusedAndLeftAlone) {
    snaptest::TempDir dir;
    const std::string path = dir / "w";
    Replacement first = Replacement::create(path, 0600);
    zd::write_all(first.fd(), {reinterpret_cast<const uint8_t*>("busy"), 4});
    EXPECT_EQ(error_of([&] { Replacement::create(path, 0600); }), std::vector<std::string>{refusal(path)});
    EXPECT_EQ(snaptest::read_all(path), "busy");
}

TEST(Replacement, NeverWritesThroughALink) {
    snaptest::TempDir dir;
    snaptest::write_file(dir / "victim", "keep me");
    ASSERT_EQ(::symlink("victim", (dir / "w").c_str()), 0);
    EXPECT_FALSE(error_of([&] { Replacement::create(dir / "w", 0600); }).empty());
    EXPECT_EQ(snaptest::read_all(dir / "victim"), "keep me");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "w"));
}

}  // namespace
