// Hostile archives: well-formed containers whose index claims absurd sizes or
// counts, or whose content is a decompression bomb, and indexes that try to
// write outside the destination. Every command must refuse them (or pass
// them) without a signal, with a bounded peak memory, and without a byte
// outside the destination.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/container.h"
#include "format/index.h"
#include "reliability/support.h"
#include "util/fd.h"
#include "util/hash.h"
#include "util/oneshot_zstd.h"

namespace reltest {
namespace {

using namespace zd::format;

// The binary under test is built like this file: under AddressSanitizer its
// shadow memory and quarantine come on top of what the program itself holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMemoryBoundKib = 400 * 1024;
#else
constexpr long kMemoryBoundKib = 200 * 1024;
#endif

zd::Bytes bytes_of(const std::string& s) { return zd::Bytes(s.begin(), s.end()); }

// A zstd frame of `blocks` RLE blocks of 128 KiB each, with no content size
// in its header: 4 bytes of input per 128 KiB of output.
zd::Bytes zstd_bomb(uint64_t blocks) {
    zd::Bytes out = {0x28, 0xb5, 0x2f, 0xfd, 0x00, 0x38};  // magic, no size, 128 KiB window
    for (uint64_t i = 0; i < blocks; ++i) {
        const uint32_t header = (uint32_t(128 * 1024) << 3) | (1u << 1) | (i + 1 == blocks ? 1u : 0u);
        out.insert(out.end(), {uint8_t(header), uint8_t(header >> 8), uint8_t(header >> 16), 0});
    }
    return out;
}

// Frames written as given after the header, the index as given (serialised
// bytes, so that counts escribir would never write can be planted), the
// footer computed from it. `serialised_len` overrides the footer's figure.
struct Hostil {
    std::vector<zd::Bytes> frames;
    zd::Bytes serialised;
    zd::Bytes packed;  // the compressed index; zstd of `serialised` when empty
    uint64_t serialised_len = 0;
};

void write_archive(const std::string& path, const Hostil& h) {
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(fd.valid());
    zd::write_all(fd.get(), cabecera({}));
    uint64_t offset = kHeaderLen;
    for (const zd::Bytes& f : h.frames) {
        zd::write_all(fd.get(), f);
        offset += f.size();
    }
    FinArchivo fin;
    fin.blob_offset = offset;
    fin.blob = {kZstd};
    const zd::Bytes packed = h.packed.empty() ? zd::comprime_zstd(h.serialised, 3) : h.packed;
    fin.blob.insert(fin.blob.end(), packed.begin(), packed.end());
    fin.serialised_len = h.serialised_len ? h.serialised_len : h.serialised.size();
    fin.serialised_hash = zd::blake3_256(h.serialised);
    escribe_fin(fd.get(), fin);
}

FileRec regular(std::string path, std::vector<uint64_t> chunks, uint64_t size, const std::string& content) {
    FileRec f{};
    f.path = std::move(path);
    f.chunks = std::move(chunks);
    f.size = size;
    f.hash = zd::blake3_16(content);
    f.mode = 0100644;
    return f;
}

// One file of `content` in one stored frame.
Index one_file(const std::string& content) {
    Index idx;
    idx.frames = {{kHeaderLen, content.size(), content.size(), kStored, kOther}};
    idx.chunks = {{zd::blake3_16(content), 0, 0, uint32_t(content.size())}};
    idx.files = {regular("a.txt", {0}, content.size(), content)};
    return idx;
}

zd::Bytes with_count(uint64_t count, const zd::Bytes& rest) {
    zd::Bytes out;
    put_var(out, count);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

struct Caso {
    const char* what;
    std::function<Hostil()> make;
    // Only a figure that nothing sizes from is absurd: the content is
    // sound and comes back as "datos" in a.txt.
    bool sound = false;
};

const std::vector<Caso>& casos() {
    static const std::vector<Caso> all = {
        {"frame with raw_len 2^40",
         [] {
             Index idx = one_file("datos");
             idx.frames[0].raw_len = uint64_t(1) << 40;
             idx.frames[0].codec = kZstd;
             idx.chunks[0].len = UINT32_MAX;
             idx.files[0].size = UINT32_MAX;
             return Hostil{{zd::comprime_zstd(bytes_of("datos"), 3)}, escribir(idx)};
         }},
        {"frame with stored_len 2^40",
         [] {
             Index idx = one_file("datos");
             idx.frames[0].stored_len = uint64_t(1) << 40;
             idx.frames[0].codec = kZstd;
             return Hostil{{bytes_of("datos")}, escribir(idx)};
         }},
        {"file claiming 2^60 bytes",
         [] {
             Index idx = one_file("datos");
             idx.files[0].size = uint64_t(1) << 60;
             return Hostil{{bytes_of("datos")}, escribir(idx)};
         },
         true},
        {"file count 2^62", [] { return Hostil{{}, with_count(uint64_t(1) << 62, escribir(Index{}))}; }},
        {"chunk count 2^62 in a file",
         [] {
             zd::Bytes s = {1, 1, 'a', 0};  // one file "a", size 0, then its chunk count
             put_var(s, uint64_t(1) << 62);
             return Hostil{{}, s};
         }},
        {"path length 2^62",
         [] {
             zd::Bytes s = {1};
             put_var(s, uint64_t(1) << 62);
             return Hostil{{}, s};
         }},
        {"footer claiming an index of 2^62 bytes",
         [] {
             Hostil h{{bytes_of("datos")}, escribir(one_file("datos"))};
             h.serialised_len = uint64_t(1) << 62;
             return h;
         }},
        {"index blob that inflates to 1 GiB, footer claiming 2^62 bytes",
         [] {
             Hostil h{{}, escribir(Index{})};
             h.packed = zstd_bomb(8192);
             h.serialised_len = uint64_t(1) << 62;
             return h;
         }},
        {"index blob that inflates to 1 GiB, footer saying so",
         [] {
             Hostil h{{}, escribir(Index{})};
             h.packed = zstd_bomb(8192);
             h.serialised_len = uint64_t(8192) << 17;
             return h;
         }},
        {"index blob that inflates past the 64 MiB a small index may claim",
         [] {
             Hostil h{{}, escribir(Index{})};
             h.packed = zstd_bomb(8192);
             h.serialised_len = uint64_t(64) << 20;
             return h;
         }},
    };
    return all;
}

class Hostiles : public ::testing::TestWithParam<size_t> {};

TEST_P(Hostiles, RefusedWithoutSignalInBoundedMemory) {
    const Caso& c = casos()[GetParam()];
    SCOPED_TRACE(c.what);
    Workdir dir;
    const std::string archive = dir.path() + "/h.zd", input = dir.path() + "/in";
    write_all(input + "/x.txt", "nuevo\n");
    write_archive(archive, c.make());
    const std::string original = read_all(archive);
    long peak = 0;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"list", archive},
             {"info", archive},
             {"verify", archive},
             {"extract", archive, "-o", dir.path() + "/out"},
             {"add", archive, input, "--name", "n"},
             {"forget", archive, "n"}}) {
        const Corrida r = corre(args, 30);
        peak = std::max(peak, r.peak_rss_kib);
        EXPECT_FALSE(r.signaled()) << args[0] << ": status " << r.status << "\n" << r.err;
        EXPECT_LT(r.peak_rss_kib, kMemoryBoundKib) << args[0] << " peaked at " << r.peak_rss_kib << " KiB";
        if (args[0] == "verify" || args[0] == "extract") {
            EXPECT_EQ(r.status, c.sound ? 0 : 1) << args[0] << "\n" << r.err;
        }
        if (r.status != 0) {
            EXPECT_EQ(read_all(archive), original) << args[0] << " failed and changed the archive";
        }
        if (fs::exists(dir.path() + "/out")) {
            const std::set<std::string> expected = c.sound ? std::set<std::string>{"a.txt"} : std::set<std::string>{};
            EXPECT_EQ(names_under(dir.path() + "/out"), expected);
            if (c.sound) {
                EXPECT_EQ(read_all(dir.path() + "/out/a.txt"), "datos");
            }
        }
    }
    std::printf("[hostile] %s: peak %ld KiB\n", c.what, peak);
}

INSTANTIATE_TEST_SUITE_P(Indices, Hostiles, ::testing::Range<size_t>(0, casos().size()));

// Indexes whose names lead out of the destination: climbing with "..", an
// absolute path, or a directory component that an earlier entry made a
// symbolic link to somewhere else.
TEST(Hostiles, NothingLandsOutsideTheDestination) {
    FileRec up{}, out_link{}, abs_link{};
    up.path = "arriba";
    up.link_target = "..";
    out_link.path = "fuera";
    abs_link.path = "absoluto";
    const struct {
        const char* what;
        std::vector<FileRec> first;  // entries before the file that is written
        std::string file_path;
    } cases[] = {
        {"dot-dot component", {}, "../escapado.txt"},
        {"absolute path", {}, "/escapado.txt"},
        {"link to the parent", {up}, "arriba/escapado.txt"},
        {"link to an absolute folder", {abs_link}, "absoluto/escapado.txt"},
        {"link then dot-dot", {up}, "arriba/../../escapado.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Workdir dir;
        const std::string outside = dir.path() + "/lejos";
        fs::create_directories(outside);
        Index idx = one_file("contenido");
        std::vector<FileRec> files = c.first;
        for (FileRec& f : files) {
            if (!f.link_target) f.link_target = outside;
            f.mode = 0120777;
            f.size = f.link_target->size();
            f.hash = zd::blake3_16(*f.link_target);
        }
        files.push_back(idx.files[0]);
        files.back().path = c.file_path;
        idx.files = files;
        const std::string archive = dir.path() + "/h.zd";
        write_archive(archive, Hostil{{bytes_of("contenido")}, escribir(idx)});
        const Corrida r = corre({"extract", archive, "-o", dir.path() + "/out/sub"});
        EXPECT_FALSE(r.signaled()) << r.err;
        EXPECT_EQ(r.status, 1) << "an escaping entry was accepted";
        const std::set<std::string> allowed = {"h.zd", "lejos/", "out/", "out/sub/"};
        for (const std::string& name : names_under(dir.path()))
            EXPECT_TRUE(allowed.contains(name) || name.starts_with("out/sub/")) << "written outside: " << name;
    }
}

}  // namespace
}  // namespace reltest
