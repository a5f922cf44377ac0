#include "snapshot/add.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "compress/reuse.h"
#include "compress/walk.h"
#include "extract/extract.h"
#include "format/container.h"
#include "format/index.h"
#include "support.h"

namespace {

using namespace snaptest;
using zd::format::Index;

constexpr int64_t kPast = 1'600'000'000;

void set_mtime(const std::string& path, int64_t mtime) {
    struct timespec times[2] = {{time_t(mtime), 0}, {time_t(mtime), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

uint64_t frames_end(const std::string& archive) {
    const std::string bytes = read_all(archive);
    return zd::get_u64le(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - 64);
}

class Add : public testing::Test {
protected:
    void SetUp() override {
        write_file(src + "/a.txt", noise(20000, 1));
        write_file(src + "/sub/b.bin", noise(30000, 2));
        set_mtime(src + "/a.txt", kPast);
        set_mtime(src + "/sub/b.bin", kPast);
        compress_new(archive, {src}, "snap-1");
    }

    zd::compress::Estadisticas add(const std::string& name, const std::vector<std::string>& inputs) {
        return zd::snapshot::anadir(archive, inputs, name, 19, true, false, false, 0);
    }
    zd::compress::Estadisticas add(const std::string& name) { return add(name, {src}); }

    // Extracts the whole archive and returns the bytes of `rel` under dest.
    std::string extracted(const std::string& rel) {
        std::vector<std::string> failures;
        std::filesystem::remove_all(dest);
        const auto r = zd::extract::extraer_patron(archive, dest, failures, std::nullopt);
        EXPECT_EQ(r.failed, 0u);
        EXPECT_TRUE(failures.empty()) << failures.front();
        return read_all(dest + "/" + rel);
    }

    TempDir dir;
    std::string archive = dir / "copia.zd";
    std::string src = dir / "src";
    std::string dest = dir / "out";
};

TEST_F(Add, UnchangedTreeAddsRecordsButNoChunksOrFrames) {
    const Index before = index_of(archive);
    const std::string old_bytes = read_all(archive);
    const uint64_t old_end = frames_end(archive);

    const auto stats = add("snap-2");

    const Index after = index_of(archive);
    EXPECT_EQ(stats.unique_chunks, 0u);
    EXPECT_EQ(stats.frames, 0u);
    EXPECT_EQ(after.chunks, before.chunks);
    EXPECT_EQ(after.frames, before.frames);
    ASSERT_EQ(after.files.size(), 2 * before.files.size());
    for (size_t i = 0; i < before.files.size(); ++i) {
        const auto& old_rec = before.files[i];
        const auto& new_rec = after.files[before.files.size() + i];
        EXPECT_EQ(after.files[i], old_rec);
        ASSERT_TRUE(old_rec.path.starts_with("snap-1/"));
        EXPECT_EQ(new_rec.path, "snap-2/" + old_rec.path.substr(7));
        EXPECT_EQ(new_rec.chunks, old_rec.chunks);
        EXPECT_EQ(new_rec.hash, old_rec.hash);
    }
    EXPECT_EQ(read_all(archive).substr(0, old_end), old_bytes.substr(0, old_end));
    EXPECT_EQ(extracted("snap-2/sub/b.bin"), read_all(src + "/sub/b.bin"));
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "out", "src"}));
}

TEST_F(Add, ChangedFileGetsNewFramesAfterTheOldOnes) {
    const Index before = index_of(archive);
    const std::string old_bytes = read_all(archive);
    const uint64_t old_end = frames_end(archive);
    const std::string old_a = read_all(src + "/a.txt");
    write_file(src + "/a.txt", noise(25000, 3));

    add("snap-2");

    const Index after = index_of(archive);
    ASSERT_GT(after.frames.size(), before.frames.size());
    EXPECT_TRUE(std::equal(before.frames.begin(), before.frames.end(), after.frames.begin()));
    EXPECT_EQ(after.frames[before.frames.size()].offset, old_end);
    EXPECT_TRUE(std::equal(before.chunks.begin(), before.chunks.end(), after.chunks.begin()));
    EXPECT_EQ(read_all(archive).substr(0, old_end), old_bytes.substr(0, old_end));
    for (const auto& rec : after.files) {
        if (rec.path == "snap-2/a.txt") {
            for (uint64_t id : rec.chunks) EXPECT_GE(id, before.chunks.size());
        } else if (rec.path == "snap-2/sub/b.bin") {
            for (uint64_t id : rec.chunks) EXPECT_LT(id, before.chunks.size());
        }
    }
    EXPECT_EQ(extracted("snap-1/a.txt"), old_a);
    EXPECT_EQ(read_all(dest + "/snap-2/a.txt"), read_all(src + "/a.txt"));
    EXPECT_EQ(read_all(dest + "/snap-2/sub/b.bin"), read_all(src + "/sub/b.bin"));
}

TEST_F(Add, ReuseTestFindsTheRecordsOfTheArchive) {
    const Index idx = index_of(archive);
    const auto map = zd::compress::construye_mapa_reuso(idx);
    const std::string base = zd::compress::base_folder({src});
    const int64_t start = zd::compress::segundos_de_inicio();
    for (const std::string& rel : std::vector<std::string>{"a.txt", "sub/b.bin"}) {
        const auto d = zd::compress::decide_reuso(map, idx, src + "/" + rel, base, start);
        ASSERT_TRUE(d.reused) << rel;
        EXPECT_EQ(idx.files[d.record].path, "snap-1/" + rel);
    }
    write_file(src + "/a.txt", noise(20001, 1));
    set_mtime(src + "/a.txt", kPast);
    EXPECT_FALSE(zd::compress::decide_reuso(map, idx, src + "/a.txt", base, start).reused);
}

TEST_F(Add, FailedRunRemovesTheWorkingCopyAndLeavesTheArchive) {
    const std::string old_bytes = read_all(archive);
    const auto chain = error_of([&] { add("snap-2", {dir / "missing"}); });
    EXPECT_FALSE(chain.empty());
    EXPECT_EQ(read_all(archive), old_bytes);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "src"}));
}

TEST_F(Add, LeftoverWorkingCopyIsReclaimedAndPermissionsKept) {
    write_file(dir / "copia.zd.parcial", "left by a run that was killed");
    ASSERT_EQ(::chmod(archive.c_str(), 0600), 0);
    add("snap-2");
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"copia.zd", "src"}));
    struct stat st;
    ASSERT_EQ(::stat(archive.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(extracted("snap-2/a.txt"), read_all(src + "/a.txt"));
}

// An archive of the given version with no files and at most one stored frame
// holding one chunk, in that version's index form.
void write_versioned(const std::string& path, int version, bool chunk, bool zero_hash) {
    const std::string magic = "ZNDR00" + std::to_string(version);
    const std::string payload = "hello world";
    zd::Bytes out(magic.begin(), magic.end());
    out.resize(zd::format::kHeaderLen, 0);
    if (chunk) out.insert(out.end(), payload.begin(), payload.end());

    zd::Bytes idx;
    using zd::format::put_var;
    put_var(idx, 0);  // files
    put_var(idx, chunk ? 1 : 0);
    if (chunk) {
        put_var(idx, zd::format::zigzag(0));
        put_var(idx, 0);
        put_var(idx, payload.size());
        if (version >= 13) {
            zd::Hash16 h{};
            if (!zero_hash) h = zd::blake3_16(payload);
            idx.insert(idx.end(), h.begin(), h.end());
        }
    }
    put_var(idx, chunk ? 1 : 0);
    if (chunk) {
        put_var(idx, zd::format::kHeaderLen);
        put_var(idx, payload.size());
        put_var(idx, payload.size());
        idx.push_back(zd::format::kStored);
        idx.push_back(zd::format::kOther);
    }
    put_var(idx, zd::format::zigzag(19));

    const uint64_t blob_offset = out.size();
    const zd::Bytes packed = zd::comprime_zstd(idx, 3);
    out.push_back(1);
    out.insert(out.end(), packed.begin(), packed.end());
    uint8_t footer[64];
    zd::put_u64le(footer, blob_offset);
    zd::put_u64le(footer + 8, packed.size() + 1);
    zd::put_u64le(footer + 16, idx.size());
    const zd::Hash32 h = zd::blake3_256(idx);
    std::memcpy(footer + 24, h.data(), 32);
    std::memcpy(footer + 56, magic.data(), 8);
    out.insert(out.end(), footer, footer + 64);
    write_file(path, std::string(out.begin(), out.end()));
}

TEST(AddVersions, OnlyVersion16WithChunkHashesTakesSnapshots) {
    const std::string v12 =
        "este archivo se escribio con una version anterior que no guardaba las huellas                de los "
        "trozos, asi que no se puede deduplicar contra el. Vuelve a crearlo con                esta version y a "
        "partir de ahi ya se le pueden anadir instantaneas.";
    auto older = [](int v) {
        return "este archivo es de la versión " + std::to_string(v) +
               " del formato; añadir instantáneas solo se puede a archivos de la versión 16. Vuelve a crearlo "
               "con esta versión.";
    };
    struct Case {
        int version;
        bool chunk;
        bool zero_hash;
        std::string error;  // empty: the add succeeds
    };
    const Case cases[] = {
        {12, true, false, v12},       {16, true, true, v12},        {12, false, false, older(12)},
        {13, true, false, older(13)}, {14, false, false, older(14)}, {15, true, false, older(15)},
        {16, true, false, ""},        {16, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + (c.chunk ? " with a chunk" : " empty"));
        TempDir dir;
        const std::string archive = dir / "v.zd";
        write_versioned(archive, c.version, c.chunk, c.zero_hash);
        write_file(dir / "src/new.txt", noise(1000, 9));
        ASSERT_NO_THROW(zd::format::abrir(archive));
        const std::string old_bytes = read_all(archive);

        const auto chain =
            error_of([&] { zd::snapshot::anadir(archive, {dir / "src"}, "s", 19, true, false, false, 0); });
        EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"src", "v.zd"}));
        if (c.error.empty()) {
            EXPECT_TRUE(chain.empty()) << chain.front();
            EXPECT_EQ(index_of(archive).files.back().path, "s/new.txt");
        } else {
            EXPECT_EQ(chain, std::vector<std::string>{c.error});
            EXPECT_EQ(read_all(archive), old_bytes);
        }
    }
}

}  // namespace
