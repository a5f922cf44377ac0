#include "compress/walk.h"

#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "format/pattern.h"
#include "util/env.h"
#include "util/error.h"
#include "util/hash.h"
#include "util/utf8.h"

namespace zd::compress {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

FileId id_of(const struct stat& st) { return {uint64_t(st.st_dev), uint64_t(st.st_ino)}; }

bool skipped(const struct stat& st, std::span<const FileId> skip) {
    return std::find(skip.begin(), skip.end(), id_of(st)) != skip.end();
}

Tipo tipo_de(mode_t mode) {
    if (S_ISREG(mode)) return Tipo::Fichero;
    if (S_ISLNK(mode)) return Tipo::Enlace;
    return Tipo::Otro;
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// Path components the way names are compared: "/" stands for the root, "."
// for a leading current-directory mark; empty and inner "." pieces vanish, so
// "a//b/" and "a/./b" are both {a, b}.
std::vector<std::string_view> components(std::string_view p) {
    std::vector<std::string_view> out;
    if (!p.empty() && p[0] == '/') {
        out.push_back("/");
    } else if (p == "." || p.starts_with("./")) {
        out.push_back(".");
    }
    size_t i = 0;
    while (i < p.size()) {
        size_t end = p.find('/', i);
        if (end == std::string_view::npos) end = p.size();
        std::string_view piece = p.substr(i, end - i);
        if (!piece.empty() && piece != ".") out.push_back(piece);
        i = end + 1;
    }
    return out;
}

std::string render(std::span<const std::string_view> comps) {
    std::string out;
    for (size_t i = 0; i < comps.size(); ++i) {
        if (i > 0 && !(i == 1 && comps[0] == "/")) out += '/';
        out += comps[i];
    }
    return out;
}

// nullopt for a path with nothing to remove ("" or "/"); the parent of a
// single relative name is "".
std::optional<std::string> parent(std::string_view p) {
    auto comps = components(p);
    if (comps.empty() || comps.back() == "/") return std::nullopt;
    return render(std::span(comps).first(comps.size() - 1));
}

std::string parent_or_dot(std::string_view p) { return parent(p).value_or("."); }

bool starts_with(std::string_view path, std::string_view base) {
    auto p = components(path);
    auto b = components(base);
    return b.size() <= p.size() && std::equal(b.begin(), b.end(), p.begin());
}

std::string read_link(const std::string& path) {
    // lstat's st_size is not trusted (0 on some file systems): grow until it fits.
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) throw Error::sys(fmt::format("read_link {}", lossy_utf8(path)), errno);
        if (size_t(n) < buf.size()) {
            buf.resize(size_t(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

format::FileRec metadata_record(std::string name, const Atributos& a) {
    format::FileRec rec;
    rec.path = std::move(name);
    rec.mtime = a.mtime;
    rec.mode = a.mode;
    rec.uid = a.uid;
    rec.gid = a.gid;
    return rec;
}

struct FileIdHash {
    size_t operator()(const FileId& id) const {
        return std::hash<uint64_t>()(id.ino ^ (id.dev * 0x9E3779B97F4A7C15ull));
    }
};

}  // namespace

std::optional<FileId> file_id(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return id_of(st);
}

void recorrer(const std::string& dir, std::vector<Entrada>& out, std::span<const FileId> skip) {
    std::vector<std::string> names;
    {
        DirPtr listing(::opendir(dir.c_str()));
        if (!listing) throw Error::sys(fmt::format("leer directorio {}", lossy_utf8(dir)), errno);
        for (;;) {
            errno = 0;
            const dirent* d = ::readdir(listing.get());
            if (!d) {
                if (errno != 0) throw Error::sys(errno);
                break;
            }
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            names.emplace_back(d->d_name);
        }
    }  // closed before descending, so deep trees do not pile up open listings
    // std::string compares as unsigned bytes, a prefix first.
    std::stable_sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = join(dir, name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) throw Error::sys(fmt::format("stat {}", lossy_utf8(path)), errno);
        if (skipped(st, skip)) continue;
        if (S_ISDIR(st.st_mode)) {
            size_t before = out.size();
            recorrer(path, out, skip);
            if (out.size() == before) out.push_back({std::move(path), Tipo::DirVacio});
        } else {
            out.push_back({std::move(path), tipo_de(st.st_mode)});
        }
    }
}

std::string base_folder(const std::vector<std::string>& inputs) {
    if (inputs.empty()) return ".";
    if (inputs.size() == 1) {
        struct stat st;
        if (::stat(inputs[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return inputs[0];
        return parent_or_dot(inputs[0]);
    }
    std::string base = parent_or_dot(inputs[0]);
    for (size_t i = 1; i < inputs.size(); ++i) {
        std::string p = parent_or_dot(inputs[i]);
        while (!starts_with(p, base)) {
            std::optional<std::string> up = parent(base);
            if (!up) return base;  // nothing above "/" or "": the rest cannot change it
            base = std::move(*up);
        }
    }
    return base;
}

std::string nombre_relativo(std::string_view full_path, std::string_view base) {
    auto p = components(full_path);
    auto b = components(base);
    if (b.size() > p.size() || !std::equal(b.begin(), b.end(), p.begin())) return lossy_utf8(full_path);
    return lossy_utf8(render(std::span(p).subspan(b.size())));
}

std::string record_name(std::string_view snapshot, std::string_view relative) {
    if (snapshot.empty()) return std::string(relative);
    return fmt::format("{}/{}", snapshot, relative);
}

std::vector<std::string> exclude_patterns() {
    std::vector<std::string> out;
    std::optional<std::string> text = env_text("ZD_EXCLUDE");
    if (!text) return out;
    std::string_view rest = *text;
    size_t i = 0;
    while (i < rest.size()) {
        size_t end = rest.find('\n', i);
        if (end == std::string_view::npos) end = rest.size();
        if (end > i) out.emplace_back(rest.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

Entradas toma_entradas(const std::vector<std::string>& inputs, const std::vector<std::string>& exclude,
                       std::span<const FileId> skip) {
    std::vector<Entrada> walked;
    for (const std::string& input : inputs) {
        struct stat st;
        // stat, not lstat: a link named by the user is taken for what it points to.
        if (::stat(input.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            recorrer(input, walked, skip);
            continue;
        }
        if (::lstat(input.c_str(), &st) != 0) throw Error::sys(fmt::format("stat {}", lossy_utf8(input)), errno);
        if (skipped(st, skip)) continue;
        walked.push_back({input, tipo_de(st.st_mode)});
    }

    Entradas r;
    r.base = base_folder(inputs);
    // First regular file seen with each identity; lives for this run only.
    std::unordered_map<FileId, std::string, FileIdHash> first_of;
    for (Entrada& e : walked) {
        std::string name = nombre_relativo(e.path, r.base);
        bool drop = std::any_of(exclude.begin(), exclude.end(),
                                [&](const std::string& pat) { return format::casa_patron(name, pat); });
        if (drop) {
            ++r.excluded;
            continue;
        }
        switch (e.tipo) {
            case Tipo::Fichero: {
                struct stat st;
                // A failed lstat is left for the driver, which opens the file anyway.
                if (::lstat(e.path.c_str(), &st) == 0 && st.st_nlink >= 2) {
                    auto [it, fresh] = first_of.try_emplace(id_of(st), e.path);
                    if (!fresh) {
                        r.hard_links.emplace_back(std::move(e.path), it->second);
                        break;
                    }
                }
                r.files.push_back(std::move(e.path));
                break;
            }
            case Tipo::Enlace: {
                std::string target = lossy_utf8(read_link(e.path));
                format::FileRec rec = metadata_record(std::move(name), atributos_de(e.path));
                rec.size = target.size();
                rec.hash = blake3_16(std::string_view(target));
                rec.link_target = std::move(target);
                r.records.push_back(std::move(rec));
                ++r.recorded;
                break;
            }
            case Tipo::DirVacio:
            case Tipo::Otro: {
                Atributos a = atributos_de(e.path);
                format::FileRec rec = metadata_record(std::move(name), a);
                rec.hash = blake3_16(std::string_view());
                if (e.tipo == Tipo::DirVacio) {
                    rec.xattrs = xattrs_de(e.path);
                } else {
                    rec.rdev = a.rdev;
                }
                r.records.push_back(std::move(rec));
                ++r.recorded;
                break;
            }
        }
    }
    return r;
}

}  // namespace zd::compress
