// Reuse of unchanged files when a snapshot is appended: a map from (size,
// mtime) to the earlier records that could stand for a walked file, and the
// per-entry test that decides whether one does. A reused file is not read: its
// new record copies the earlier record's content fields.
//
// The map is built once per run on the driver thread and only read afterwards;
// decide_reuso only reads the file system and the map, so any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "compress/metadata.h"
#include "format/index.h"

namespace zd::compress {

struct ClaveReuso {
    uint64_t size = 0;
    int64_t mtime = 0;

    bool operator==(const ClaveReuso& other) const = default;
};

struct HashClaveReuso {
    size_t operator()(const ClaveReuso& k) const noexcept {
        return std::hash<uint64_t>{}(k.size * 0x9E3779B97F4A7C15ull ^ uint64_t(k.mtime));
    }
};

// Earlier file indices per key, in index order.
using MapaReuso = std::unordered_map<ClaveReuso, std::vector<uint32_t>, HashClaveReuso>;

// Every earlier record that is neither a symbolic link nor a hard link, under
// its (size, mtime). Empty when ZD_SIN_INCREMENTAL is on.
MapaReuso construye_mapa_reuso(const format::Index& previous);

struct DecisionReuso {
    bool reused = false;
    uint32_t record = 0;  // the earlier record, when reused
    Atributos attrs;      // lstat of the entry itself, kept for every entry
};

// The run's start in whole seconds since the epoch (INT64_MIN before it).
// Files with an mtime in this second or later are always read again, since
// they may still be changing within the second the clock shows.
int64_t segundos_de_inicio();

// Whether the walked file `full_path` (named relative to `base`) is unchanged
// since an earlier record: its lstat mtime is before `run_start_seconds`,
// stat (following links) works, and a record under the same (size, mtime) has
// the relative name as its path or as its last "/"-separated components.
DecisionReuso decide_reuso(const MapaReuso& map, const format::Index& previous, const std::string& full_path,
                           const std::string& base, int64_t run_start_seconds);

// The new record of a reused file: the earlier record's content (chunks, size,
// hash, transform) under the new name, attributes and extended attributes.
format::FileRec registro_reusado(const format::FileRec& earlier, std::string record_name, const Atributos& attrs,
                                 std::vector<format::Xattr> xattrs);

}  // namespace zd::compress
