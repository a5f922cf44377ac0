#include "util/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/error.h"

namespace zd {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

UniqueFd open_fd(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}

size_t read_up_to(int fd, uint8_t* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = ::read(fd, buf + got, len - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error::sys(errno);
        }
        if (n == 0) break;
        got += size_t(n);
    }
    return got;
}

void read_exact(int fd, uint8_t* buf, size_t len) {
    if (read_up_to(fd, buf, len) != len) throw Error("failed to fill whole buffer");
}

void pread_exact(int fd, uint8_t* buf, size_t len, uint64_t offset) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd, buf + got, len - got, off_t(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error::sys(errno);
        }
        if (n == 0) throw Error("failed to fill whole buffer");
        got += size_t(n);
    }
}

void write_all(int fd, ByteView data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error::sys(errno);
        }
        if (n == 0) throw Error("failed to write whole buffer");
        done += size_t(n);
    }
}

void seek_to(int fd, uint64_t offset) {
    if (::lseek(fd, off_t(offset), SEEK_SET) < 0) throw Error::sys(errno);
}

BufferedWriter::BufferedWriter(int fd, size_t capacity) : fd_(fd), buf_(capacity) {}

void BufferedWriter::write(ByteView data) {
    if (used_ + data.size() > buf_.size()) {
        flush();
        if (data.size() >= buf_.size()) {
            write_all(fd_, data);
            return;
        }
    }
    std::memcpy(buf_.data() + used_, data.data(), data.size());
    used_ += data.size();
}

void BufferedWriter::flush() {
    if (used_ == 0) return;
    size_t n = used_;
    used_ = 0;
    write_all(fd_, ByteView(buf_.data(), n));
}

}  // namespace zd
