#include "compress/grouping.h"

#include <fcntl.h>

#include <algorithm>
#include <numeric>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"

namespace zd::compress {

static_assert(kSketchCdc == CdcParams{1024, 4096, 16384, 0x1FFF8000, 0x1FF8000});

namespace {

// Keeps the four smallest values seen; an equal value goes after the kept one.
void keep_smallest(Sketch& s, uint64_t v) {
    if (!(v < s.back())) return;
    auto pos = std::upper_bound(s.begin(), s.end(), v);
    std::move_backward(pos, s.end() - 1, s.end());
    *pos = v;
}

// Sketches files [from, to) into their places of `out`.
void sketch_slice(const std::vector<std::string>& files, std::vector<Sketch>& out, size_t from,
                  size_t to) noexcept {
    try {
        Bytes buf(kSketchPrefix);
        for (size_t i = from; i < to; ++i) out[i] = sketch_of_file(files[i], buf);
    } catch (...) {
        // Out of memory: the files not reached keep empty sketches and their places.
    }
}

}  // namespace

Sketch sketch_of(ByteView prefix) {
    Sketch s = kEmptySketch;
    size_t pos = 0;
    while (pos < prefix.size()) {
        const size_t len = corte(prefix.data() + pos, prefix.size() - pos, kSketchCdc);
        keep_smallest(s, get_u64le(blake3_256(prefix.subspan(pos, len)).data()));
        pos += len;
    }
    return s;
}

Sketch sketch_of_file(const std::string& path, Bytes& buf) {
    // O_NONBLOCK: a path that turned into a FIFO since the walk must not hang
    // us; for regular files it changes nothing.
    UniqueFd fd = open_fd(path, O_RDONLY | O_NONBLOCK);
    if (!fd) return kEmptySketch;
    size_t got = 0;
    try {
        got = read_up_to(fd.get(), buf.data(), std::min(buf.size(), kSketchPrefix));
    } catch (const Error&) {
        return kEmptySketch;
    }
    return sketch_of(ByteView(buf.data(), got));
}

std::vector<size_t> order_by_sketches(const std::vector<Sketch>& sketches) {
    const size_t n = sketches.size();
    std::vector<size_t> parent(n);
    std::iota(parent.begin(), parent.end(), size_t(0));
    auto find = [&parent](size_t x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]];
            x = parent[x];
        }
        return x;
    };

    // Only looked up by key, never iterated, so its hashing cannot change the result.
    std::unordered_map<uint64_t, size_t> first_holder;
    first_holder.reserve(4 * n);
    for (size_t i = 0; i < n; ++i) {
        for (uint64_t v : sketches[i]) {
            if (v == kEmptyValue) continue;
            auto [it, inserted] = first_holder.try_emplace(v, i);
            if (inserted) continue;
            const size_t ri = find(i);
            const size_t rj = find(it->second);
            if (ri != rj) parent[ri] = rj;
        }
    }

    // Roots are positions, so the group heads fit in a plain array.
    constexpr size_t kNone = ~size_t(0);
    std::vector<size_t> head(n, kNone);
    std::vector<size_t> group(n);
    for (size_t i = 0; i < n; ++i) {
        group[i] = find(i);
        if (head[group[i]] == kNone) head[group[i]] = i;
    }
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const size_t ha = head[group[a]];
        const size_t hb = head[group[b]];
        return ha != hb ? ha < hb : a < b;
    });
    return order;
}

void agrupa_por_similitud(std::vector<std::string>& files, unsigned threads) {
    const size_t n = files.size();
    if (n < 2) return;

    std::vector<Sketch> sketches(n, kEmptySketch);
    {
        const size_t budget = std::max(1u, threads);
        const size_t per = (n + budget - 1) / budget;
        std::vector<std::thread> workers;
        workers.reserve(budget);
        struct JoinAll {
            std::vector<std::thread>& v;
            ~JoinAll() {
                for (auto& t : v) t.join();
            }
        } join_all{workers};
        for (size_t from = 0; from < n; from += per) {
            const size_t to = std::min(n, from + per);
            try {
                workers.emplace_back(sketch_slice, std::cref(files), std::ref(sketches), from, to);
            } catch (const std::system_error&) {
                // No thread to be had: this slice is sketched here instead.
                sketch_slice(files, sketches, from, to);
            }
        }
    }

    std::vector<std::string> reordered;
    reordered.reserve(n);
    for (size_t i : order_by_sketches(sketches)) reordered.push_back(std::move(files[i]));
    files = std::move(reordered);
}

}  // namespace zd::compress
