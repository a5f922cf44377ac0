#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "compress/cdc.h"
#include "compress/grouping.h"
#include "util/bytes.h"
#include "util/fd.h"
#include "util/hash.h"

namespace zc = zd::compress;

namespace {

zd::Bytes random_bytes(size_t n, uint64_t seed) {
    // mt19937_64's output is fixed by the standard, so the cases are the same everywhere.
    std::mt19937_64 rng(seed);
    zd::Bytes b(n);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t z = rng();
        for (size_t k = 0; k < 8 && i + k < n; ++k) b[i + k] = uint8_t(z >> (8 * k));
    }
    return b;
}

zd::Bytes cat(std::initializer_list<zd::Bytes> parts) {
    zd::Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A chunk the sketch cut ends by itself: any content that starts with it has
// it as its first chunk, whatever follows.
zd::Bytes natural_chunk(uint64_t seed) {
    zd::Bytes p = random_bytes(20'000, seed);
    p.resize(zc::corte(p.data(), p.size(), zc::kSketchCdc));
    return p;
}

// A tail short enough (at most the minimum chunk) to be one chunk of its own.
zd::Bytes tail(uint64_t seed) { return random_bytes(500, seed); }

class TempDir {
public:
    TempDir() {
        std::string tmpl = std::filesystem::temp_directory_path() / "zd-grouping-XXXXXX";
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// One list entry: contents to write, or a path that cannot be sketched.
struct Entry {
    enum Kind { file, missing, directory } kind = file;
    zd::Bytes data;
};
Entry F(zd::Bytes data) { return {Entry::file, std::move(data)}; }
const Entry kMissing{Entry::missing, {}};
const Entry kDirectory{Entry::directory, {}};

std::vector<std::string> make_files(const TempDir& dir, const std::vector<Entry>& entries) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string p = dir.path() + "/f" + std::to_string(i);
        if (entries[i].kind == Entry::file) {
            zd::UniqueFd fd = zd::open_fd(p, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            zd::write_all(fd.get(), entries[i].data);
        } else if (entries[i].kind == Entry::directory) {
            std::filesystem::create_directory(p);
        }
        paths.push_back(p);
    }
    return paths;
}

std::vector<std::string> pick(const std::vector<std::string>& paths, const std::vector<size_t>& order) {
    std::vector<std::string> out;
    for (size_t i : order) out.push_back(paths[i]);
    return out;
}

bool share_value(const zc::Sketch& a, const zc::Sketch& b) {
    for (uint64_t v : a)
        if (v != zc::kEmptyValue && std::find(b.begin(), b.end(), v) != b.end()) return true;
    return false;
}

zc::Sketch sketch(const std::string& path) {
    zd::Bytes buf(zc::kSketchPrefix);
    return zc::sketch_of_file(path, buf);
}

uint64_t value_of(const zd::Bytes& chunk) { return zd::get_u64le(zd::blake3_256(chunk).data()); }

TEST(GroupingSketch, FourSmallestChunkValuesRepeatsKept) {
    EXPECT_EQ(zc::sketch_of({}), zc::kEmptySketch);

    const zd::Bytes small = random_bytes(1024, 1);
    EXPECT_EQ(zc::sketch_of(small), (zc::Sketch{value_of(small), zc::kEmptyValue, zc::kEmptyValue, zc::kEmptyValue}));

    // Oracle: every chunk's value, sorted, the first four.
    const zd::Bytes big = random_bytes(300'000, 2);
    std::vector<uint64_t> all;
    zc::MemoryChunker chunks(big, zc::kSketchCdc);
    while (auto c = chunks.next()) all.push_back(zd::get_u64le(zd::blake3_256(*c).data()));
    ASSERT_GT(all.size(), 8u);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(zc::sketch_of(big), (zc::Sketch{all[0], all[1], all[2], all[3]}));

    const zd::Bytes k = natural_chunk(3);
    const uint64_t v = value_of(k);
    EXPECT_EQ(zc::sketch_of(cat({k, k, k})), (zc::Sketch{v, v, v, zc::kEmptyValue}));
    const zd::Bytes six = cat({k, k, k, k, k, k});
    const zc::Sketch repeated = zc::sketch_of(six);
    EXPECT_EQ(repeated, (zc::Sketch{v, v, v, v}));
}

TEST(GroupingSketch, FileSketchLooksAtTheFirstMiBOnly) {
    TempDir dir;
    const zd::Bytes prefix = random_bytes(zc::kSketchPrefix, 4);
    auto paths = make_files(dir, {F(cat({prefix, random_bytes(50'000, 5)})), F({}), kMissing, kDirectory});
    EXPECT_EQ(sketch(paths[0]), zc::sketch_of(prefix));
    for (size_t i = 1; i < paths.size(); ++i) EXPECT_EQ(sketch(paths[i]), zc::kEmptySketch) << i;
}

TEST(Grouping, ListsOfFewerThanTwoAreLeftAlone) {
    std::vector<std::string> none;
    zc::agrupa_por_similitud(none, 4);
    EXPECT_TRUE(none.empty());
    std::vector<std::string> one = {"/no/such/dir/zd-grouping"};
    zc::agrupa_por_similitud(one, 4);
    EXPECT_EQ(one, std::vector<std::string>{"/no/such/dir/zd-grouping"});
}

struct OrderCase {
    const char* what;
    std::vector<Entry> entries;
    std::vector<size_t> want;
};

TEST(Grouping, GroupsMoveToTheirEarliestMember) {
    const zd::Bytes k1 = natural_chunk(10), k2 = natural_chunk(11);
    const zd::Bytes mib_a = random_bytes(zc::kSketchPrefix, 12);
    const zd::Bytes same_tail = random_bytes(40'000, 13);
    const zd::Bytes twin = random_bytes(5'000, 14);
    const zd::Bytes small = random_bytes(600, 15);
    auto r = [](uint64_t seed) { return F(random_bytes(5'000, 100 + seed)); };

    const std::vector<OrderCase> cases = {
        {"A~D and C~E",
         {F(cat({k1, tail(1)})), r(1), F(cat({k2, tail(2)})), F(cat({k1, tail(3)})), F(cat({k2, tail(4)}))},
         {0, 3, 1, 2, 4}},
        {"identical files at 0 and 5 of 8",
         {F(twin), r(1), r(2), r(3), r(4), F(twin), r(5), r(6)},
         {0, 5, 1, 2, 3, 4, 6, 7}},
        {"only the first MiB matters",
         {F(cat({mib_a, random_bytes(9'000, 20)})), F(cat({random_bytes(zc::kSketchPrefix, 21), same_tail})),
          F(cat({mib_a, random_bytes(9'000, 22)})), F(cat({random_bytes(zc::kSketchPrefix, 23), same_tail}))},
         {0, 2, 1, 3}},
        {"a small file groups with a file holding it as a chunk",
         {F(small), r(1), F(cat({k1, small}))},
         {0, 2, 1}},
        {"missing file between similar ones", {F(cat({k1, tail(5)})), kMissing, F(cat({k1, tail(6)}))}, {0, 2, 1}},
        {"directory between similar ones", {F(cat({k1, tail(5)})), kDirectory, F(cat({k1, tail(6)}))}, {0, 2, 1}},
        {"empty file between similar ones", {F(cat({k1, tail(5)})), F({}), F(cat({k1, tail(6)}))}, {0, 2, 1}},
        {"empty and unreadable files never group", {F({}), kMissing, r(1), F({}), kMissing}, {0, 1, 2, 3, 4}},
        {"nothing shared", {r(1), r(2), r(3)}, {0, 1, 2}},
    };
    for (const auto& tc : cases) {
        TempDir dir;
        auto paths = make_files(dir, tc.entries);
        auto list = paths;
        zc::agrupa_por_similitud(list, 2);
        EXPECT_EQ(list, pick(paths, tc.want)) << tc.what;
    }
}

TEST(Grouping, LinksAreTransitive) {
    // C holds the first chunks of A and of E; A and E share nothing.
    const zd::Bytes k1 = natural_chunk(30), k2 = natural_chunk(31);
    TempDir dir;
    auto paths = make_files(dir, {F(cat({k1, tail(1)})), F(random_bytes(5'000, 2)), F(cat({k1, k2})),
                                  F(random_bytes(5'000, 3)), F(cat({k2, tail(4)}))});
    ASSERT_TRUE(share_value(sketch(paths[0]), sketch(paths[2])));
    ASSERT_TRUE(share_value(sketch(paths[2]), sketch(paths[4])));
    ASSERT_FALSE(share_value(sketch(paths[0]), sketch(paths[4])));
    auto list = paths;
    zc::agrupa_por_similitud(list, 1);
    EXPECT_EQ(list, pick(paths, {0, 2, 4, 1, 3}));
}

TEST(Grouping, SameOrderWhateverTheThreadCount) {
    const zd::Bytes k1 = natural_chunk(40), k2 = natural_chunk(41), k3 = natural_chunk(42);
    auto member = [](const zd::Bytes& k, uint64_t seed) { return F(cat({k, tail(seed)})); };
    auto other = [](uint64_t seed) { return F(random_bytes(5'000, 200 + seed)); };
    TempDir dir;
    auto paths = make_files(dir, {member(k1, 0), member(k2, 1), other(2), member(k1, 3), member(k3, 4),
                                  member(k2, 5), kMissing, member(k3, 7), member(k1, 8), other(9),
                                  member(k2, 10), member(k3, 11), F(cat({k1, k3}))});
    // The last file joins the k1 and k3 groups into one.
    const auto want = pick(paths, {0, 3, 4, 7, 8, 11, 12, 1, 5, 10, 2, 6, 9});
    for (unsigned threads : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 50u}) {
        auto list = paths;
        zc::agrupa_por_similitud(list, threads);
        EXPECT_EQ(list, want) << threads << " threads";
    }
}

TEST(GroupingOrder, JoinsAndHeadsFromSketchesAlone) {
    constexpr uint64_t e = zc::kEmptyValue;
    // 0~3 through 7, 3~5 through 9, 1 alone, 2~4 through 1 (a value may be small).
    const std::vector<zc::Sketch> sketches = {
        {5, 7, e, e}, {2, e, e, e}, {1, 1, 1, 1}, {7, 9, e, e}, {0, 1, 8, 8}, {9, e, e, e}, zc::kEmptySketch,
    };
    EXPECT_EQ(zc::order_by_sketches(sketches), (std::vector<size_t>{0, 3, 5, 1, 2, 4, 6}));
    EXPECT_TRUE(zc::order_by_sketches({}).empty());
}

}  // namespace
