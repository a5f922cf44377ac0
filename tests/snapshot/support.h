// Scratch trees and real archives for the snapshot tests: archives are made by
// the compression driver itself, so add and forget work on what compress writes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "compress/driver.h"
#include "format/container.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/hash.h"
#include "util/oneshot_zstd.h"

namespace snaptest {

inline std::string read_all(const std::string& path) {
    zd::UniqueFd fd = zd::open_fd(path, O_RDONLY);
    if (!fd) return {};
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    return out;
}

inline void write_file(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(fd.valid()) << path;
    zd::write_all(fd.get(), {reinterpret_cast<const uint8_t*>(data.data()), data.size()});
}

// Bytes no other call of this returns, so no two test files share a chunk.
inline std::string noise(size_t len, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(len, '\0');
    for (char& c : out) c = char(gen());
    return out;
}

// Names in `dir`, sorted.
inline std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

// The message chain of what `fn` throws; empty when it throws nothing.
template <class F>
std::vector<std::string> error_of(F&& fn) {
    try {
        fn();
    } catch (const zd::Error& e) {
        return e.chain();
    }
    return {};
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = std::filesystem::temp_directory_path() / "zd-snap-XXXXXX";
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// A new archive of `inputs` whose records carry `snapshot` in front.
inline zd::compress::Estadisticas compress_new(const std::string& archive, const std::vector<std::string>& inputs,
                                               const std::string& snapshot) {
    zd::compress::OpcionesRun opt;
    opt.inputs = inputs;
    opt.output = archive;
    opt.snapshot = snapshot;
    opt.solid = 0;
    opt.grouping = false;
    return zd::compress::comprimir_pleno(opt);
}

inline zd::format::Index index_of(const std::string& archive) { return zd::format::abrir(archive).index; }

// Rewrites `archive` with `index` after its frame area, as the driver would
// close it; the frames are left where they are.
inline void rewrite_index(const std::string& archive, const zd::format::Index& index) {
    const std::string bytes = read_all(archive);
    const uint64_t frames_end = zd::get_u64le(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - 64);
    zd::UniqueFd fd = zd::open_fd(archive, O_WRONLY | O_TRUNC);
    ASSERT_TRUE(fd.valid());
    zd::write_all(fd.get(), {reinterpret_cast<const uint8_t*>(bytes.data()), size_t(frames_end)});
    const zd::Bytes serialised = zd::format::escribir(index);
    zd::format::FinArchivo fin;
    fin.blob_offset = frames_end;
    fin.blob.push_back(1);
    const zd::Bytes packed = zd::comprime_zstd(serialised, 3);
    fin.blob.insert(fin.blob.end(), packed.begin(), packed.end());
    fin.serialised_len = serialised.size();
    fin.serialised_hash = zd::blake3_256(serialised);
    zd::format::escribe_fin(fd.get(), fin);
}

}  // namespace snaptest
