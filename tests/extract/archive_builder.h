// Writes small archives by hand for the extraction tests: chunks of a fixed
// length, deduplicated by content, packed into frames of a bounded size, the
// index serialised and closed with the footer, as the compressor would.
#pragma once

#include <fcntl.h>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/container.h"
#include "format/index.h"
#include "util/fd.h"
#include "util/hash.h"
#include "util/oneshot_zstd.h"

namespace zdtest {

struct Entry {
    std::string path;
    std::string content;  // regular files only
    uint32_t mode = 0100644;
    int64_t mtime = 0;
    std::optional<std::string> link;    // symbolic link target
    std::optional<uint32_t> hard_link;  // index of the earlier entry
    uint64_t rdev = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<zd::format::Xattr> xattrs;
    std::optional<zd::format::Transform> transform;
    bool wrong_hash = false;  // record a hash the content does not have
};

inline Entry file(std::string path, std::string content, uint32_t mode = 0100644) {
    Entry e;
    e.path = std::move(path);
    e.content = std::move(content);
    e.mode = mode;
    return e;
}
inline Entry symlink(std::string path, std::string target) {
    Entry e;
    e.path = std::move(path);
    e.link = std::move(target);
    e.mode = 0120777;
    return e;
}
inline Entry directory(std::string path, uint32_t mode = 040755) {
    Entry e;
    e.path = std::move(path);
    e.mode = mode;
    return e;
}
inline Entry fifo(std::string path) {
    Entry e;
    e.path = std::move(path);
    e.mode = 010644;
    return e;
}
inline Entry hard_link(std::string path, uint32_t target) {
    Entry e;
    e.path = std::move(path);
    e.hard_link = target;
    return e;
}

struct Options {
    size_t chunk = 4096;          // chunk length (the last of a file may be shorter)
    size_t frame = 16384;         // frames are cut before they would pass this
    uint8_t codec = zd::format::kZstd;  // kStored or kZstd
    // An unused zd-cm frame in the index: with ZD_RAM_MB below 4096 the
    // extraction then runs one worker, which makes entry order deterministic.
    bool one_worker = false;
    std::function<void(uint32_t frame, zd::Bytes& stored)> mangle;  // edits stored bytes
};

// Writes the archive to `path` and returns its index.
inline zd::format::Index write_archive(const std::string& path, const std::vector<Entry>& entries,
                                       const Options& opt = {}) {
    using namespace zd::format;
    Index index;
    std::map<zd::Hash16, uint64_t> known;
    std::vector<zd::Bytes> raw_frames(1);
    for (const Entry& e : entries) {
        FileRec rec{};
        rec.path = e.path;
        rec.mode = e.mode;
        rec.mtime = e.mtime;
        rec.rdev = e.rdev;
        rec.uid = e.uid;
        rec.gid = e.gid;
        rec.xattrs = e.xattrs;
        rec.transform = e.transform;
        rec.link_target = e.link;
        rec.hard_link = e.hard_link;
        if (e.hard_link) {
            rec.size = index.files.at(*e.hard_link).size;
            rec.hash = index.files.at(*e.hard_link).hash;
        } else if (e.link) {
            rec.size = e.link->size();
            rec.hash = zd::blake3_16(*e.link);
        } else {
            rec.size = e.content.size();
            rec.hash = zd::blake3_16(e.content);
            for (size_t at = 0; at < e.content.size(); at += opt.chunk) {
                const std::string piece = e.content.substr(at, opt.chunk);
                const zd::Hash16 h = zd::blake3_16(piece);
                auto [it, fresh] = known.emplace(h, index.chunks.size());
                if (fresh) {
                    if (raw_frames.back().size() + piece.size() > opt.frame && !raw_frames.back().empty())
                        raw_frames.emplace_back();
                    zd::Bytes& frame = raw_frames.back();
                    index.chunks.push_back({h, uint32_t(raw_frames.size() - 1), uint32_t(frame.size()),
                                            uint32_t(piece.size())});
                    frame.insert(frame.end(), piece.begin(), piece.end());
                }
                rec.chunks.push_back(it->second);
            }
        }
        if (e.wrong_hash) rec.hash[0] ^= 1;
        index.files.push_back(std::move(rec));
    }
    if (raw_frames.back().empty()) raw_frames.pop_back();

    zd::UniqueFd fd = zd::open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd) throw std::runtime_error("create " + path);
    uint64_t offset = 0;
    auto put = [&](const zd::Bytes& b) {
        zd::write_all(fd.get(), b);
        offset += b.size();
    };
    put(cabecera({}));
    for (size_t i = 0; i < raw_frames.size(); ++i) {
        const zd::Bytes& raw = raw_frames[i];
        zd::Bytes stored = opt.codec == kZstd ? zd::comprime_zstd(raw, 3) : raw;
        if (opt.mangle) opt.mangle(uint32_t(i), stored);
        index.frames.push_back({offset, stored.size(), raw.size(), opt.codec, kOther});
        put(stored);
    }
    if (opt.one_worker) index.frames.push_back({offset, 0, 0, kCm, kText});

    const zd::Bytes serialised = escribir(index);
    FinArchivo fin;
    fin.blob_offset = offset;
    fin.blob.push_back(1);
    const zd::Bytes packed = zd::comprime_zstd(serialised, 3);
    fin.blob.insert(fin.blob.end(), packed.begin(), packed.end());
    fin.serialised_len = serialised.size();
    fin.serialised_hash = zd::blake3_256(serialised);
    escribe_fin(fd.get(), fin);
    return index;
}

}  // namespace zdtest
