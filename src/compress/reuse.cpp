#include "compress/reuse.h"

#include <sys/stat.h>

#include <chrono>
#include <limits>
#include <string_view>
#include <utility>

#include "compress/walk.h"
#include "util/env.h"

namespace zd::compress {

MapaReuso construye_mapa_reuso(const format::Index& previous) {
    MapaReuso map;
    if (env_switch_on("ZD_SIN_INCREMENTAL")) return map;
    for (size_t i = 0; i < previous.files.size(); ++i) {
        const format::FileRec& rec = previous.files[i];
        // A link's record carries no content of its own to hand over.
        if (rec.link_target || rec.hard_link) continue;
        map[{rec.size, rec.mtime}].push_back(uint32_t(i));
    }
    return map;
}

int64_t segundos_de_inicio() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    if (since.count() < 0) return std::numeric_limits<int64_t>::min();
    return std::chrono::duration_cast<std::chrono::seconds>(since).count();
}

namespace {

// The earlier record carries its snapshot's name (or any leading folders) in
// front, so a match is the whole path or a tail that starts at a component.
bool same_entry(std::string_view earlier, std::string_view relative) {
    if (earlier.size() == relative.size()) return earlier == relative;
    return earlier.size() > relative.size() && earlier.ends_with(relative) &&
           earlier[earlier.size() - relative.size() - 1] == '/';
}

}  // namespace

DecisionReuso decide_reuso(const MapaReuso& map, const format::Index& previous, const std::string& full_path,
                           const std::string& base, int64_t run_start_seconds) {
    DecisionReuso d;
    d.attrs = atributos_de(full_path);
    if (d.attrs.mtime >= run_start_seconds) return d;
    struct stat st;
    if (::stat(full_path.c_str(), &st) != 0) return d;
    auto it = map.find({uint64_t(st.st_size), d.attrs.mtime});
    if (it == map.end()) return d;
    const std::string relative = nombre_relativo(full_path, base);
    for (uint32_t i : it->second) {
        if (i < previous.files.size() && same_entry(previous.files[i].path, relative)) {
            d.reused = true;
            d.record = i;
            break;
        }
    }
    return d;
}

format::FileRec registro_reusado(const format::FileRec& earlier, std::string record_name, const Atributos& attrs,
                                 std::vector<format::Xattr> xattrs) {
    format::FileRec rec;
    rec.path = std::move(record_name);
    rec.chunks = earlier.chunks;
    rec.xattrs = std::move(xattrs);
    rec.transform = earlier.transform;
    rec.size = earlier.size;
    rec.hash = earlier.hash;
    rec.mtime = attrs.mtime;
    rec.mode = attrs.mode;
    rec.uid = attrs.uid;
    rec.gid = attrs.gid;
    return rec;
}

}  // namespace zd::compress
