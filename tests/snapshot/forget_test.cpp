#include "snapshot/forget.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "crypto/slots.h"
#include "extract/extract.h"
#include "format/container.h"
#include "format/index.h"
#include "snapshot/add.h"
#include "support.h"

namespace {

using namespace snaptest;
using zd::format::Index;

std::string nothing_named(const std::string& name) {
    return "no hay ninguna instantánea «" + name + "» en este archivo. Mira las que hay con `zundra list`.";
}

class Forget : public testing::Test {
protected:
    // Snapshots 1 to `count` of one tree: common.bin in all of them, and
    // only-N.bin, with bytes of its own, in snapshot N alone.
    void make_snapshots(int count) {
        write_file(src + "/common.bin", noise(30000, 100));
        for (int n = 1; n <= count; ++n) {
            const std::string name = "snap-" + std::to_string(n);
            const std::string own = "only-" + std::to_string(n) + ".bin";
            write_file(src + "/" + own, noise(20000 + 1000 * n, n));
            contents[name + "/common.bin"] = read_all(src + "/common.bin");
            contents[name + "/" + own] = read_all(src + "/" + own);
            if (n == 1)
                compress_new(archive, {src}, name);
            else
                zd::snapshot::anadir(archive, {src}, name, 19, true, false, false, 0);
            frames_after.push_back(index_of(archive).frames.size());
            std::filesystem::remove(src + "/" + own);
        }
    }

    // Extracts everything; every file must come back as it went in.
    void expect_extracts(const std::vector<std::string>& snapshots) {
        std::vector<std::string> failures;
        std::filesystem::remove_all(dest);
        zd::extract::extraer_patron(archive, dest, failures, std::nullopt);
        EXPECT_TRUE(failures.empty()) << failures.front();
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dest))
            if (e.is_regular_file()) found.push_back(e.path().string().substr(dest.size() + 1));
        std::sort(found.begin(), found.end());
        std::vector<std::string> wanted;
        for (const auto& [path, bytes] : contents) {
            for (const auto& s : snapshots) {
                if (!path.starts_with(s + "/")) continue;
                wanted.push_back(path);
                EXPECT_EQ(read_all(dest + "/" + path), bytes) << path;
            }
        }
        std::sort(wanted.begin(), wanted.end());
        EXPECT_EQ(found, wanted);
    }

    TempDir dir;
    std::string archive = dir / "copia.zd";
    std::string src = dir / "src";
    std::string dest = dir / "out";
    std::map<std::string, std::string> contents;  // record path -> bytes
    std::vector<size_t> frames_after;            // frame count after each snapshot
};

TEST_F(Forget, CompactsAwayTheFramesOnlyTheSnapshotUsed) {
    make_snapshots(3);
    const Index before = index_of(archive);
    const std::string old_bytes = read_all(archive);
    ASSERT_EQ(::chmod(archive.c_str(), 0600), 0);

    const auto [size_before, size_after] = zd::snapshot::olvidar(archive, "snap-2");

    const std::string new_bytes = read_all(archive);
    EXPECT_EQ(size_before, old_bytes.size());
    EXPECT_EQ(size_after, new_bytes.size());
    EXPECT_LT(size_after, size_before);
    EXPECT_EQ(new_bytes.substr(0, 8), "ZNDR0016");
    EXPECT_EQ(new_bytes.substr(8, 32), std::string(32, '\0'));

    const Index after = index_of(archive);
    EXPECT_EQ(after.level, before.level);
    // Snapshot 2 wrote frames [frames_after[0], frames_after[1]); they go, the
    // others stay in order with their stored bytes, back to back from 40.
    std::vector<zd::format::FrameRec> kept;
    for (size_t f = 0; f < before.frames.size(); ++f)
        if (f < frames_after[0] || f >= frames_after[1]) kept.push_back(before.frames[f]);
    ASSERT_EQ(after.frames.size(), kept.size());
    ASSERT_LT(after.frames.size(), before.frames.size());
    uint64_t offset = zd::format::kHeaderLen;
    for (size_t f = 0; f < kept.size(); ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        EXPECT_EQ(after.frames[f].offset, offset);
        EXPECT_EQ(after.frames[f].stored_len, kept[f].stored_len);
        EXPECT_EQ(after.frames[f].raw_len, kept[f].raw_len);
        EXPECT_EQ(after.frames[f].codec, kept[f].codec);
        EXPECT_EQ(after.frames[f].lane, kept[f].lane);
        EXPECT_EQ(new_bytes.substr(offset, kept[f].stored_len), old_bytes.substr(kept[f].offset, kept[f].stored_len));
        offset += kept[f].stored_len;
    }
    for (const auto& rec : after.files) EXPECT_FALSE(rec.path.starts_with("snap-2/")) << rec.path;
    size_t forgotten_chunks = 0;
    for (const auto& rec : before.files)
        if (rec.path == "snap-2/only-2.bin") forgotten_chunks = rec.chunks.size();
    EXPECT_EQ(after.chunks.size(), before.chunks.size() - forgotten_chunks);

    expect_extracts({"snap-1", "snap-3"});
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "out", "src"}));
    struct stat st;
    ASSERT_EQ(::stat(archive.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Forget, TrailingSlashesAreDropped) {
    make_snapshots(2);
    zd::snapshot::olvidar(archive, "snap-1//");
    expect_extracts({"snap-2"});
    // The shared frame stays: common.bin of snapshot 2 lives in it.
    EXPECT_EQ(index_of(archive).frames.size(), frames_after[1]);
}

TEST_F(Forget, MembershipNeedsTheSlashAfterTheName) {
    make_snapshots(10);
    zd::snapshot::olvidar(archive, "snap-1");
    expect_extracts({"snap-2", "snap-3", "snap-4", "snap-5", "snap-6", "snap-7", "snap-8", "snap-9", "snap-10"});
}

TEST_F(Forget, RefusalsLeaveTheArchiveAsItWas) {
    make_snapshots(2);
    const std::string old_bytes = read_all(archive);
    struct Case {
        std::string name;
        std::string error;
    };
    const Case cases[] = {
        {"snap-3", nothing_named("snap-3")},
        {"snap", nothing_named("snap")},  // a prefix of the names, not a snapshot
        {"snap-1/common.bin", nothing_named("snap-1/common.bin")},
        {"", nothing_named("")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of([&] { zd::snapshot::olvidar(archive, c.name); }), std::vector<std::string>{c.error})
            << c.name;
        EXPECT_EQ(read_all(archive), old_bytes);
        EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "src"}));
    }
}

TEST_F(Forget, TheOnlySnapshotIsNotForgotten) {
    make_snapshots(1);
    const std::string old_bytes = read_all(archive);
    for (const std::string& name : std::vector<std::string>{"snap-1", "snap-1/"}) {
        EXPECT_EQ(error_of([&] { zd::snapshot::olvidar(archive, name); }),
                  std::vector<std::string>{"«" + name +
                                           "» es todo lo que hay en el archivo: borrarla lo dejaría vacío. Si es "
                                           "lo que quieres, borra el fichero .zd."});
        EXPECT_EQ(read_all(archive), old_bytes);
    }
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "src"}));
}

TEST_F(Forget, EmptyArchiveHasNoSnapshotToForget) {
    std::filesystem::create_directories(src);
    compress_new(archive, {src}, "");
    ASSERT_TRUE(index_of(archive).files.empty());
    EXPECT_EQ(error_of([&] { zd::snapshot::olvidar(archive, "snap-1"); }),
              std::vector<std::string>{nothing_named("snap-1")});
}

// Hard links made by hand in the index: the compressor only links within a run.
TEST_F(Forget, HardLinksFollowTheirTargetOrRefuse) {
    make_snapshots(2);
    Index idx = index_of(archive);
    auto position = [&](const std::string& path) {
        for (size_t i = 0; i < idx.files.size(); ++i)
            if (idx.files[i].path == path) return uint32_t(i);
        ADD_FAILURE() << path;
        return uint32_t(0);
    };
    auto link = [&](const std::string& path, const std::string& target) {
        zd::format::FileRec rec;
        rec.path = path;
        rec.hard_link = position(target);
        rec.size = idx.files[*rec.hard_link].size;
        rec.hash = idx.files[*rec.hard_link].hash;
        rec.mode = 0100644;
        contents[path] = contents[target];
        return rec;
    };
    idx.files.push_back(link("snap-2/inside", "snap-2/only-2.bin"));
    idx.files.push_back(link("snap-2/across", "snap-1/only-1.bin"));
    rewrite_index(archive, idx);
    const std::string old_bytes = read_all(archive);

    EXPECT_EQ(error_of([&] { zd::snapshot::olvidar(archive, "snap-1"); }),
              std::vector<std::string>{"el enlace duro snap-2/across apuntaba a un fichero de la instantánea "
                                       "borrada; no se compacta para no dejarlo roto"});
    EXPECT_EQ(read_all(archive), old_bytes);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "src"}));

    // Without the link across, the one inside is renumbered with its target.
    idx.files.pop_back();
    contents.erase("snap-2/across");
    rewrite_index(archive, idx);
    zd::snapshot::olvidar(archive, "snap-1");
    const Index after = index_of(archive);
    ASSERT_EQ(after.files.back().path, "snap-2/inside");
    ASSERT_TRUE(after.files.back().hard_link);
    EXPECT_EQ(after.files[*after.files.back().hard_link].path, "snap-2/only-2.bin");
    expect_extracts({"snap-2"});
}

TEST_F(Forget, UnreadableFrameRemovesTheCompactingFile) {
    make_snapshots(2);
    Index idx = index_of(archive);
    idx.frames.back().stored_len += 1 << 30;  // runs past the end of the file
    rewrite_index(archive, idx);
    const std::string old_bytes = read_all(archive);

    EXPECT_EQ(error_of([&] { zd::snapshot::olvidar(archive, "snap-1"); }),
              (std::vector<std::string>{"leer frame " + std::to_string(idx.frames.size() - 1),
                                        "failed to fill whole buffer"}));
    EXPECT_EQ(read_all(archive), old_bytes);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "src"}));
}

class ForgetEncrypted : public Forget {
protected:
    void SetUp() override {
        zd::crypto::Key key;
        for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(7 * i + 1);
        zd::crypto::pon_sal(zd::Bytes(16, 0x5A));
        zd::crypto::pon_clave(key);
    }
    void TearDown() override {
        zd::crypto::pon_clave(std::nullopt);
        zd::crypto::pon_sal({});
    }
};

TEST_F(ForgetEncrypted, KeepsTheHeaderAndSealsTheNewIndex) {
    make_snapshots(3);
    const std::string old_header = read_all(archive).substr(0, 40);
    ASSERT_EQ(old_header[8], 1);

    zd::snapshot::olvidar(archive, "snap-2");

    EXPECT_EQ(read_all(archive).substr(0, 40), old_header);
    expect_extracts({"snap-1", "snap-3"});
    zd::crypto::pon_clave(std::nullopt);
    EXPECT_FALSE(error_of([&] { zd::format::abrir(archive); }).empty());
}

}  // namespace
