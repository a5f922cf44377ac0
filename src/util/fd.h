// File descriptors with one owner, and the read/write loops every subsystem uses.
#pragma once

#include <sys/types.h>

#include <string>

#include "util/bytes.h"

namespace zd {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC; returns an invalid fd and leaves errno on failure.
UniqueFd open_fd(const std::string& path, int flags, mode_t mode = 0);

// Reads until `len` bytes are in or the file ends; retries EINTR. Returns the
// count read; throws the system error on a read failure.
size_t read_up_to(int fd, uint8_t* buf, size_t len);
// Reads exactly `len` bytes: "failed to fill whole buffer" when the file ends first.
void read_exact(int fd, uint8_t* buf, size_t len);
// pread variant of read_exact; the file position is left alone.
void pread_exact(int fd, uint8_t* buf, size_t len, uint64_t offset);
// Writes all of `data`, retrying EINTR and short writes; throws the system error.
void write_all(int fd, ByteView data);
// lseek to an absolute offset; throws the system error.
void seek_to(int fd, uint64_t offset);

// Buffered sequential writer over a borrowed descriptor.
class BufferedWriter {
public:
    BufferedWriter(int fd, size_t capacity);
    ~BufferedWriter() = default;  // the owner must call flush(): errors matter
    void write(ByteView data);
    void flush();

private:
    int fd_;
    Bytes buf_;
    size_t used_ = 0;
};

}  // namespace zd
