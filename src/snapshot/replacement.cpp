#include "snapshot/replacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <fmt/core.h>

#include "snapshot/lock.h"
#include "util/error.h"

namespace zd::snapshot {

std::string sibling_path(const std::string& archive, std::string_view extension) {
    std::string out = archive;
    const std::string_view name = std::string_view(archive).substr(archive.rfind('/') + 1);
    // "x.zd" becomes "x." + extension; a bare ".zd" is a name, not an extension.
    if (name.size() > 3 && name.ends_with(".zd")) out.resize(out.size() - 2);
    else out += '.';
    out += extension;
    return out;
}

Replacement Replacement::create(std::string path, mode_t mode) {
    // Not truncated before the lock: the file may be another writer's.
    UniqueFd fd = open_fd(path, O_WRONLY | O_CREAT | O_NOFOLLOW, mode);
    if (!fd) throw Error::sys(errno);
    bloquea(fd.get(), path);
    Replacement r(std::move(path), std::move(fd));
    int rc;
    do {
        rc = ::ftruncate(r.fd(), 0);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) throw Error::sys(errno);
    // An existing file keeps its old mode otherwise; the archive's must win.
    if (::fchmod(r.fd(), mode) != 0) throw Error::sys(errno);
    return r;
}

Replacement::Replacement(Replacement&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::move(other.fd_)), armed_(other.armed_) {
    other.armed_ = false;
}

Replacement::~Replacement() {
    if (armed_) ::unlink(path_.c_str());
}

void Replacement::replace(const std::string& target) {
    if (::fsync(fd()) != 0) throw Error::sys(fmt::format("sincronizar {}", path_), errno);
    if (::rename(path_.c_str(), target.c_str()) != 0) throw Error::sys(errno);
    armed_ = false;
    // The rename is durable only once the directory is.
    std::filesystem::path dir = std::filesystem::path(target).parent_path();
    if (dir.empty()) dir = ".";
    if (UniqueFd d = open_fd(dir.string(), O_RDONLY | O_DIRECTORY)) ::fsync(d.get());
}

}  // namespace zd::snapshot
