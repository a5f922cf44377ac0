// Metadata capture for file records: the lstat attributes and the extended
// attributes of a path. Neither call follows a symbolic link and neither fails:
// what cannot be read comes back as the defaults, or is left out. Both only
// read the file system, so any thread may call them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/index.h"
#include "util/bytes.h"

namespace zd::compress {

// From lstat of the path itself; the member defaults are what a failed lstat gives.
struct Atributos {
    int64_t mtime = 0;    // whole seconds; nanoseconds are not kept
    uint32_t mode = 0644; // st_mode in full; the default has no type bits
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t rdev = 0;

    bool operator==(const Atributos& other) const = default;
};

Atributos atributos_de(const std::string& path);

// The path's extended attributes sorted by name bytes; unreadable ones are
// skipped, an unreadable list is empty. Names are lossy UTF-8; the macOS
// Finder and resource-fork attributes are never kept.
std::vector<format::Xattr> xattrs_de(const std::string& path);

// The list handling of xattrs_de over an llistxattr buffer (NUL-separated raw
// names). `value_of` gets a raw name and returns its value, or nullopt to skip
// it. Split out so the filtering can be tested with names Linux will not set.
std::vector<format::Xattr> xattrs_from_list(
    std::string_view names, const std::function<std::optional<Bytes>(const std::string&)>& value_of);

}  // namespace zd::compress
