#include "crypto/random.h"

#include <fcntl.h>

#include <cerrno>

#include "util/error.h"
#include "util/fd.h"

namespace zd::crypto {

Bytes azar(size_t n) {
    Bytes out(n, 0);
    UniqueFd fd = open_fd("/dev/urandom", O_RDONLY);
    if (!fd) throw Error::sys("abrir /dev/urandom para generar aleatorios", errno);
    try {
        read_exact(fd.get(), out.data(), n);
    } catch (Error& e) {
        throw std::move(e).context("leer aleatorios");
    }
    return out;
}

}  // namespace zd::crypto
