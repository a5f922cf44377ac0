#include "extract/destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fmt/core.h>

#include "util/error.h"

namespace zd::extract {

namespace {

// Opens directory `name` in `dir`, creating it when missing. nullopt when
// `name` is a symbolic link.
std::optional<UniqueFd> open_or_make_dir(int dir, const std::string& name, const std::string& shown) {
    for (int attempt = 0;; ++attempt) {
        UniqueFd fd(::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) {
            // O_PATH with O_NOFOLLOW may hand back the link itself; make sure.
            struct stat st;
            if (::fstat(fd.get(), &st) != 0) throw Error::sys("crear " + shown, errno);
            if (S_ISDIR(st.st_mode)) return fd;
            if (S_ISLNK(st.st_mode)) return std::nullopt;
            throw Error::sys("crear " + shown, ENOTDIR);
        }
        const int err = errno;
        // A few rounds only: another worker may be making the same directory.
        if (err == ENOENT && attempt < 3) {
            if (::mkdirat(dir, name.c_str(), 0777) != 0 && errno != EEXIST) throw Error::sys("crear " + shown, errno);
            continue;
        }
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return std::nullopt;
        throw Error::sys("crear " + shown, err);
    }
}

bool all_zero(ByteView block) {
    return !block.empty() && block[0] == 0 && std::memcmp(block.data(), block.data() + 1, block.size() - 1) == 0;
}

std::atomic<uint64_t> temp_counter{0};

}  // namespace

std::vector<std::string_view> componentes(std::string_view path) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(start, slash - start);
        if (!part.empty() && part != ".") out.push_back(part);
        start = slash + 1;
    }
    return out;
}

Destino::Destino(std::string root) : root_(std::move(root)) {
    std::error_code ec;
    std::filesystem::create_directories(root_, ec);
    if (ec) throw Error::sys("crear " + root_, ec.value());
    fd_ = open_fd(root_, O_PATH | O_DIRECTORY);
    if (!fd_) throw Error::sys("abrir " + root_, errno);
}

std::string Destino::muestra(std::string_view path) const {
    if (root_.empty() || root_.back() == '/') return root_ + std::string(path);
    return root_ + "/" + std::string(path);
}

std::optional<Destino::Padre> Destino::padre(std::string_view path) const {
    const auto parts = componentes(path);
    if (parts.empty()) throw Error(fmt::format("ruta vacía: {}", path));
    UniqueFd cur(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!cur) throw Error::sys("abrir " + root_, errno);
    std::string shown = root_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const std::string name(parts[i]);
        shown += "/" + name;
        auto next = open_or_make_dir(cur.get(), name, shown);
        if (!next) return std::nullopt;
        cur = std::move(*next);
    }
    return Padre{std::move(cur), std::string(parts.back())};
}

Temporal::Temporal(int dir, std::string context) : dir_(dir), context_(std::move(context)) {
    for (int attempt = 0;; ++attempt) {
        name_ = fmt::format(".zd-tmp.{}.{}", ::getpid(), temp_counter.fetch_add(1));
        fd_ = UniqueFd(::openat(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd_) return;
        // A leftover of an earlier run with the same pid: take the next name.
        if (errno == EEXIST && attempt < 100) continue;
        throw Error::sys(context_, errno);
    }
}

Temporal::~Temporal() {
    if (!placed_) ::unlinkat(dir_, name_.c_str(), 0);
}

void Temporal::cierra() { fd_.reset(); }

void Temporal::coloca(const std::string& leaf) {
    if (::renameat(dir_, name_.c_str(), dir_, leaf.c_str()) != 0) throw Error::sys(context_, errno);
    placed_ = true;
}

void EscritorDisperso::escribe(ByteView data) {
    while (!data.empty()) {
        if (block_.empty() && data.size() >= kBloque) {
            flush_block(data.first(kBloque));
            data = data.subspan(kBloque);
            continue;
        }
        const size_t take = std::min(kBloque - block_.size(), data.size());
        block_.insert(block_.end(), data.begin(), data.begin() + take);
        data = data.subspan(take);
        if (block_.size() == kBloque) {
            flush_block(block_);
            block_.clear();
        }
    }
}

void EscritorDisperso::flush_block(ByteView block) {
    length_ += block.size();
    if (all_zero(block)) {
        skip_ += block.size();
        return;
    }
    if (skip_ != 0) {
        if (::lseek(fd_, off_t(skip_), SEEK_CUR) < 0) throw Error::sys(errno);
        skip_ = 0;
    }
    write_all(fd_, block);
}

void EscritorDisperso::termina() {
    if (!block_.empty()) {
        flush_block(block_);
        block_.clear();
    }
    int rc;
    do {
        rc = ::ftruncate(fd_, off_t(length_));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) throw Error::sys(errno);
}

void escribe_quiza_disperso(int fd, ByteView data) {
    EscritorDisperso w(fd);
    w.escribe(data);
    w.termina();
}

void aplicar_meta(int dir, const std::string& name, const format::FileRec& rec, bool is_link) {
    const char* n = name.c_str();
    if (rec.uid != 0 || rec.gid != 0) (void)::fchownat(dir, n, rec.uid, rec.gid, AT_SYMLINK_NOFOLLOW);
    if (!is_link && rec.mode != 0) {
        // With AT_SYMLINK_NOFOLLOW a link planted at `name` is refused, not followed.
        int rc;
        do {
            rc = ::fchmodat(dir, n, rec.mode & 07777, AT_SYMLINK_NOFOLLOW);
        } while (rc != 0 && errno == EINTR);
    }
    if (!rec.xattrs.empty()) {
        // No lsetxattrat exists: the directory goes through its descriptor's
        // /proc name, and the last component is still not followed.
        const std::string at = fmt::format("/proc/self/fd/{}/{}", dir, name);
        for (const auto& x : rec.xattrs)
            (void)::lsetxattr(at.c_str(), x.name.c_str(), x.value.data(), x.value.size(), 0);
    }
    if (rec.mtime != 0) {
        const struct timespec times[2] = {{time_t(rec.mtime), 0}, {time_t(rec.mtime), 0}};
        (void)::utimensat(dir, n, times, AT_SYMLINK_NOFOLLOW);
    }
}

}  // namespace zd::extract
