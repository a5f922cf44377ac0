// Damaged archives against every command of the real binary. Three archives
// made by the binary itself (plain, encrypted, two snapshots) are cut short at
// many lengths, have bytes flipped in each region of the file, or two frames
// of equal stored length swapped; list, info, verify, extract, add and forget
// then run on each damaged copy. Whatever the damage, no run may die from a
// signal or run away, nothing wrong may be on disk after an extraction (exit
// status aside: files are put in place only once their hash matched), nothing
// may be written beside the destination, and a failed add or forget must
// leave the damaged file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "crypto/kdf.h"
#include "crypto/slots.h"
#include "format/container.h"
#include "reliability/support.h"
#include "util/bytes.h"

namespace reltest {
namespace {

enum class Kind { Plain, Encrypted, TwoSnapshots };
enum class Damage { Truncate, Header, Frames, Index, Footer, Swap };

const char* name_of(Kind k) {
    switch (k) {
        case Kind::Plain: return "plain";
        case Kind::Encrypted: return "encrypted";
        case Kind::TwoSnapshots: return "two_snapshots";
    }
    return "?";
}
const char* name_of(Damage d) {
    switch (d) {
        case Damage::Truncate: return "truncate";
        case Damage::Header: return "header";
        case Damage::Frames: return "frames";
        case Damage::Index: return "index";
        case Damage::Footer: return "footer";
        case Damage::Swap: return "swap";
    }
    return "?";
}

const std::string kPassword = "contraseña de prueba";

// An archive made by the binary, with what the tests need to aim at its parts.
struct Muestra {
    std::string bytes;
    std::map<std::string, std::string> sources;  // path prefix -> input tree
    std::string snapshot;                        // what forget is asked to drop
    uint64_t blob_offset = 0, blob_len = 0;
    std::vector<zd::format::FrameRec> frames;
};

// Text in one frame, and two incompressible files of one length in the media
// and other lanes: two frames stored with equal lengths, ready to be swapped.
void make_tree(const std::string& root, uint32_t seed) {
    write_all(root + "/a.txt", prose(60000, seed));
    write_all(root + "/sub/c.txt", prose(3000, seed + 1));
    write_all(root + "/m.mp4", noise(40000, seed + 2));
    write_all(root + "/b.bin", noise(40000, seed + 3));
    fs::create_directories(root + "/vacio");
    fs::create_symlink("a.txt", root + "/enlace");
}

// One set of inputs and archives per process: ctest runs each case apart, so
// a case builds only the archive it damages.
Workdir& inputs() {
    static Workdir dir;
    return dir;
}

std::optional<zd::crypto::Key> key_of(const std::string& bytes) {
    zd::crypto::Params p;
    std::memcpy(&p.memory_mib, bytes.data() + 25, 4);
    std::memcpy(&p.passes, bytes.data() + 29, 4);
    std::memcpy(&p.lanes, bytes.data() + 33, 4);
    const zd::ByteView pw(reinterpret_cast<const uint8_t*>(kPassword.data()), kPassword.size());
    return zd::crypto::deriva(pw, zd::ByteView(reinterpret_cast<const uint8_t*>(bytes.data()) + 9, 16), p);
}

const Muestra& muestra(Kind kind) {
    static std::map<Kind, Muestra> made;
    if (auto it = made.find(kind); it != made.end()) return it->second;
    const std::string dir = inputs().path() + "/" + name_of(kind);
    const std::string t1 = dir + "/t1", t2 = dir + "/t2", archive = dir + "/a.zd";
    make_tree(t1, 1);
    Muestra m;
    std::vector<std::string> args = {"compress", t1, "-o", archive};
    if (kind == Kind::Encrypted) args.push_back("--encrypt");
    if (kind == Kind::TwoSnapshots) {
        args.insert(args.end(), {"--name", "s1"});
        m.sources = {{"s1", t1}, {"s2", t2}};
        m.snapshot = "s1";
    } else {
        m.sources = {{"", t1}};
        m.snapshot = "nada";
    }
    const Corrida c = corre(args);
    EXPECT_EQ(c.status, 0) << c.err;
    if (kind == Kind::TwoSnapshots) {
        make_tree(t2, 1);  // the same text, so the second snapshot shares chunks
        write_all(t2 + "/nuevo.txt", prose(20000, 9));
        write_all(t2 + "/b.bin", noise(40000, 10));
        const Corrida a = corre({"add", archive, t2, "--name", "s2"});
        EXPECT_EQ(a.status, 0) << a.err;
    }
    m.bytes = read_all(archive);
    const auto* footer = reinterpret_cast<const uint8_t*>(m.bytes.data() + m.bytes.size() - 64);
    m.blob_offset = zd::get_u64le(footer);
    m.blob_len = zd::get_u64le(footer + 8);
    if (kind == Kind::Encrypted) zd::crypto::pon_clave(key_of(m.bytes));
    m.frames = zd::format::abrir(archive).index.frames;
    zd::crypto::pon_clave(std::nullopt);
    return made.emplace(kind, std::move(m)).first->second;
}

struct Caso {
    std::string what;
    std::string bytes;
};

std::vector<Caso> casos(const Muestra& m, Kind kind, Damage damage) {
    std::vector<Caso> out;
    const std::string& b = m.bytes;
    const uint64_t size = b.size(), x = m.blob_offset, l = m.blob_len;
    std::mt19937_64 gen(uint64_t(kind) * 131 + uint64_t(damage));
    // The encrypted archive costs a key derivation per command: fewer cases.
    const int per_region = kind == Kind::Encrypted ? 4 : 8;
    const auto flip = [&](uint64_t at, uint8_t mask) {
        std::string d = b;
        d[at] = char(uint8_t(d[at]) ^ mask);
        out.push_back({"flip " + std::to_string(at) + " ^" + std::to_string(mask), d});
    };
    const auto some_mask = [&] { return uint8_t(1 + gen() % 255); };
    const auto flips_in = [&](uint64_t from, uint64_t to) {
        for (int i = 0; i < per_region && to > from; ++i) flip(from + gen() % (to - from), some_mask());
    };
    switch (damage) {
        case Damage::Truncate: {
            std::set<uint64_t> lengths = {0, 8, 39, 40, 71, 72, x, x + 1, x + l - 1, x + l, size - 64,
                                          size - 8, size - 1};
            for (int i = 0; i < per_region; ++i) lengths.insert(gen() % size);
            if (kind == Kind::Encrypted) lengths = {0, 39, 40, x, x + l - 1, size - 64, size - 1, gen() % size};
            for (uint64_t len : lengths)
                if (len < size) out.push_back({"truncate to " + std::to_string(len), b.substr(0, len)});
            break;
        }
        case Damage::Header:
            // Magic, the encryption flag, the salt, the lanes and the padding.
            // The memory and passes fields are left alone on purpose: a reader
            // derives with whatever they hold, so they can ask for hours of
            // Argon2 or for all the memory the machine has.
            for (uint64_t at : {uint64_t(0), uint64_t(7), uint64_t(8)}) flip(at, some_mask());
            flip(9 + gen() % 16, some_mask());
            flip(33, 0x02);
            flip(37 + gen() % 3, some_mask());
            if (kind != Kind::Encrypted) flip(25 + gen() % 12, some_mask());  // ignored in a clear archive
            break;
        case Damage::Frames: flips_in(zd::format::kHeaderLen, x); break;
        case Damage::Index: flips_in(x, x + l); break;
        case Damage::Footer:
            for (uint64_t at : {0, 7, 8, 15, 16, 23, 24, 55, 56, 63}) flip(size - 64 + at, some_mask());
            break;
        case Damage::Swap:
            for (size_t i = 0; i < m.frames.size(); ++i) {
                for (size_t j = i + 1; j < m.frames.size(); ++j) {
                    const auto& f = m.frames[i];
                    const auto& g = m.frames[j];
                    if (f.stored_len != g.stored_len) continue;
                    std::string d = b;
                    d.replace(f.offset, f.stored_len, b, g.offset, g.stored_len);
                    d.replace(g.offset, g.stored_len, b, f.offset, f.stored_len);
                    out.push_back({"swap frames " + std::to_string(i) + " and " + std::to_string(j), d});
                }
            }
            break;
    }
    return out;
}

struct Cuenta {
    int cases = 0, runs = 0, signals = 0, hangs = 0, wrong_data = 0, outside = 0, touched = 0;
    int disagreements = 0, exit0 = 0;
};

std::set<std::string> entries_of(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename());
    return out;
}

using Param = std::tuple<Kind, Damage>;

class Barrido : public ::testing::TestWithParam<Param> {};

TEST_P(Barrido, NoCrashNoWrongDataNoStrayWrites) {
    const auto [kind, damage] = GetParam();
    const Muestra& m = muestra(kind);
    ASSERT_FALSE(m.bytes.empty());
    const std::vector<Caso> all = casos(m, kind, damage);
    ASSERT_FALSE(all.empty()) << "nothing to damage";

    Workdir work;
    const std::string input = work.path() + "/nuevo";
    write_all(input + "/x.txt", "contenido nuevo\n");
    Cuenta n;
    int case_no = 0;
    for (const Caso& c : all) {
        SCOPED_TRACE(c.what);
        ++n.cases;
        const std::string dir = work.path() + "/c" + std::to_string(case_no++);
        fs::create_directories(dir);
        const std::string archive = dir + "/a.zd", out = dir + "/out";
        write_all(archive, c.bytes);
        std::map<std::string, Corrida> got;
        const auto run = [&](const std::string& cmd, std::vector<std::string> args) {
            const Corrida r = corre(args);
            ++n.runs;
            n.signals += r.signaled() && !r.hung();
            n.hangs += r.hung();
            n.exit0 += r.status == 0;
            EXPECT_FALSE(r.signaled()) << cmd << " ended with status " << r.status << "\n" << r.err;
            got[cmd] = r;
        };
        run("list", {"list", archive});
        run("info", {"info", archive});
        run("verify", {"verify", archive});
        run("extract", {"extract", archive, "-o", out});

        const std::vector<std::string> wrong = fs::exists(out) ? wrong_entries(out, m.sources) : std::vector<std::string>{};
        n.wrong_data += !wrong.empty();
        for (const auto& w : wrong) ADD_FAILURE() << "extract left " << w << " (status " << got["extract"].status << ")";
        std::set<std::string> expected = {"a.zd"};
        if (fs::exists(out)) expected.insert("out");
        const std::set<std::string> present = entries_of(dir);
        n.outside += present != expected;
        EXPECT_EQ(present, expected) << "extract wrote beside its destination";
        // The same checks of the same archive: they succeed or fail together.
        const bool verified = got["verify"].status == 0, extracted = got["extract"].status == 0;
        n.disagreements += verified != extracted;
        EXPECT_EQ(verified, extracted) << got["verify"].err << "\n---\n" << got["extract"].err;

        for (const auto& [cmd, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
                 {"add", {"add", archive, input, "--name", "nueva"}}, {"forget", {"forget", archive, m.snapshot}}}) {
            write_all(archive, c.bytes);
            run(cmd, args);
            const Corrida& r = got[cmd];
            if (r.status == 0) continue;
            const bool same = read_all(archive) == c.bytes;
            n.touched += !same;
            EXPECT_TRUE(same) << cmd << " failed and changed the archive\n" << r.err;
            // A finished copy that does not open is kept to be looked at; nothing else stays.
            std::set<std::string> left = entries_of(dir);
            left.erase("a.zd");
            left.erase("out");
            if (r.err.find("NO se reemplaza") != std::string::npos) {
                left.erase("a.zd.parcial");
                left.erase("a.zd.compactando");
            }
            EXPECT_TRUE(left.empty()) << cmd << " left " << *left.begin();
            for (const auto& name : left) fs::remove_all(dir + "/" + name);
        }
        fs::remove_all(dir);
    }
    std::printf("[sweep] %s/%s: %d cases, %d runs (%d exit 0), %d signals, %d hangs, %d wrong-data, "
                "%d stray writes, %d touched by a failure, %d verify/extract disagreements\n",
                name_of(kind), name_of(damage), n.cases, n.runs, n.exit0, n.signals, n.hangs, n.wrong_data,
                n.outside, n.touched, n.disagreements);
}

INSTANTIATE_TEST_SUITE_P(
    Archivos, Barrido,
    ::testing::Combine(::testing::Values(Kind::Plain, Kind::Encrypted, Kind::TwoSnapshots),
                       ::testing::Values(Damage::Truncate, Damage::Header, Damage::Frames, Damage::Index,
                                         Damage::Footer, Damage::Swap)),
    [](const ::testing::TestParamInfo<Param>& p) {
        return std::string(name_of(std::get<0>(p.param))) + "_" + name_of(std::get<1>(p.param));
    });

}  // namespace
}  // namespace reltest
