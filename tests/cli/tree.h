// Small input trees for the end-to-end tests, and a description of a tree on
// disk entry by entry, so that what went in can be compared with what came out.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cli/binary.h"

namespace zdtest {

inline std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng());
    return s;
}

// Whole seconds: the archive keeps no nanoseconds. Acts on a link itself.
inline bool set_mtime(const std::string& path, time_t secs) {
    const struct timespec t[2] = {{secs, 0}, {secs, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW) == 0;
}

inline std::string mib(uint64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", double(bytes) / 1048576.0);
    return buf;
}

// Whether the archive holds `needle` anywhere, as raw bytes.
inline bool archive_contains(const std::string& archive, const std::string& needle) {
    return slurp(archive).find(needle) != std::string::npos;
}

struct Node {
    char kind = '?';  // '-' regular, 'd' directory, 'l' symlink, 'p' FIFO, 'c'/'b' device, 'o' anything else
    mode_t perms = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    time_t mtime = 0;
    std::string data;  // a file's content or a link's target
    std::map<std::string, std::string> xattrs;  // user.* only
    ino_t ino = 0;
    dev_t rdev = 0;
    off_t size = 0;
    blkcnt_t blocks = 0;
    bool empty_dir = false;
};

// Relative path ("/"-separated, raw bytes) -> entry.
using Tree = std::map<std::string, Node>;

inline std::map<std::string, std::string> user_xattrs(const std::string& path) {
    std::map<std::string, std::string> out;
    ssize_t n = ::llistxattr(path.c_str(), nullptr, 0);
    if (n <= 0) return out;
    std::string names(size_t(n), '\0');
    n = ::llistxattr(path.c_str(), names.data(), names.size());
    for (size_t at = 0; n > 0 && at < size_t(n);) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        if (name.rfind("user.", 0) != 0) continue;
        ssize_t len = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (len < 0) continue;
        std::string value(size_t(len), '\0');
        len = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (len >= 0) out[name] = value.substr(0, size_t(len));
    }
    return out;
}

inline void describe_into(const std::string& root, const std::string& rel, Tree& out) {
    DIR* d = ::opendir((rel.empty() ? root : root + "/" + rel).c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    for (const std::string& name : names) {
        const std::string r = rel.empty() ? name : rel + "/" + name;
        const std::string full = root + "/" + r;
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0) continue;
        Node n;
        n.perms = st.st_mode & 07777;
        n.uid = st.st_uid;
        n.gid = st.st_gid;
        n.mtime = st.st_mtim.tv_sec;
        n.ino = st.st_ino;
        n.size = st.st_size;
        n.blocks = st.st_blocks;
        n.xattrs = user_xattrs(full);
        if (S_ISREG(st.st_mode)) {
            n.kind = '-';
            n.data = slurp(full);
        } else if (S_ISLNK(st.st_mode)) {
            n.kind = 'l';
            std::string target(4096, '\0');
            ssize_t len = ::readlink(full.c_str(), target.data(), target.size());
            n.data = target.substr(0, len < 0 ? 0 : size_t(len));
        } else if (S_ISDIR(st.st_mode)) {
            n.kind = 'd';
        } else if (S_ISFIFO(st.st_mode)) {
            n.kind = 'p';
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            n.kind = S_ISCHR(st.st_mode) ? 'c' : 'b';
            n.rdev = st.st_rdev;
        } else {
            n.kind = 'o';
        }
        const size_t before = out.size();
        out[r] = n;
        if (n.kind == 'd') {
            describe_into(root, r, out);
            out[r].empty_dir = out.size() == before + 1;
        }
    }
}

inline Tree describe(const std::string& root) {
    Tree t;
    describe_into(root, "", t);
    return t;
}

// The entries the archive records: everything but directories that hold
// something (those are implied by their content).
inline size_t entry_count(const Tree& t) {
    size_t n = 0;
    for (const auto& [path, node] : t) n += node.kind != 'd' || node.empty_dir;
    return n;
}

// Groups of names that share an inode, as sorted name lists.
inline std::set<std::vector<std::string>> hard_link_groups(const Tree& t) {
    std::map<ino_t, std::vector<std::string>> by_ino;
    for (const auto& [path, node] : t)
        if (node.kind == '-') by_ino[node.ino].push_back(path);
    std::set<std::vector<std::string>> out;
    for (auto& [ino, names] : by_ino)
        if (names.size() > 1) out.insert(names);
    return out;
}

// One line per difference between `want` and `got`, empty when they agree on
// everything the archive keeps. Directories that hold entries are compared by
// kind only: the archive has no record of their own.
inline std::string differences(const Tree& want, const Tree& got) {
    std::string out;
    const auto note = [&](const std::string& path, const std::string& what) { out += path + ": " + what + "\n"; };
    for (const auto& [path, w] : want) {
        auto it = got.find(path);
        if (it == got.end()) {
            note(path, "missing");
            continue;
        }
        const Node& g = it->second;
        if (g.kind != w.kind) {
            note(path, std::string("kind ") + g.kind + " instead of " + w.kind);
            continue;
        }
        if (w.kind == 'd' && !w.empty_dir) continue;
        if (w.kind != 'l' && g.perms != w.perms) note(path, "mode " + std::to_string(g.perms) + " instead of " + std::to_string(w.perms));
        if (g.uid != w.uid || g.gid != w.gid) note(path, "owner " + std::to_string(g.uid) + ":" + std::to_string(g.gid));
        if (g.mtime != w.mtime) note(path, "mtime " + std::to_string(g.mtime) + " instead of " + std::to_string(w.mtime));
        if (g.data != w.data) note(path, "content or target differs");
        if (g.xattrs != w.xattrs) note(path, "xattrs differ");
        if (g.rdev != w.rdev) note(path, "device number differs");
    }
    for (const auto& [path, g] : got)
        if (!want.count(path)) note(path, "unexpected");
    if (hard_link_groups(want) != hard_link_groups(got)) out += "hard-link groups differ\n";
    return out;
}

}  // namespace zdtest
