#include "compress/metadata.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>

#include "util/utf8.h"

namespace zd::compress {

Atributos atributos_de(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return {};
    return {int64_t(st.st_mtim.tv_sec), uint32_t(st.st_mode), uint32_t(st.st_uid),
            uint32_t(st.st_gid), uint64_t(st.st_rdev)};
}

std::vector<format::Xattr> xattrs_from_list(
    std::string_view names, const std::function<std::optional<Bytes>(const std::string&)>& value_of) {
    std::vector<format::Xattr> out;
    size_t i = 0;
    while (i < names.size()) {
        size_t end = names.find('\0', i);
        if (end == std::string_view::npos) end = names.size();
        std::string raw(names.substr(i, end - i));
        i = end + 1;
        if (raw.empty()) continue;
        std::string name = lossy_utf8(raw);
        // Carried over from macOS copies; they mean nothing here and cannot be restored.
        if (name == "com.apple.FinderInfo" || name == "com.apple.ResourceFork") continue;
        std::optional<Bytes> value = value_of(raw);
        if (!value) continue;
        out.push_back({std::move(name), std::move(*value)});
    }
    // std::string compares as unsigned bytes, a prefix first.
    std::stable_sort(out.begin(), out.end(),
                     [](const format::Xattr& a, const format::Xattr& b) { return a.name < b.name; });
    return out;
}

std::vector<format::Xattr> xattrs_de(const std::string& path) {
    if (path.find('\0') != std::string::npos) return {};
    ssize_t n = ::llistxattr(path.c_str(), nullptr, 0);
    if (n <= 0) return {};
    std::string names(size_t(n), '\0');
    n = ::llistxattr(path.c_str(), names.data(), names.size());
    if (n <= 0) return {};
    names.resize(size_t(n));
    return xattrs_from_list(names, [&](const std::string& name) -> std::optional<Bytes> {
        ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (size < 0) return std::nullopt;
        Bytes value(static_cast<size_t>(size));
        ssize_t got = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (got < 0) return std::nullopt;
        // The value may have shrunk between the two calls.
        value.resize(std::min(size_t(got), value.size()));
        return value;
    });
}

}  // namespace zd::compress
