#include "snapshot/lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include <fmt/core.h>

#include "util/error.h"

namespace zd::snapshot {

void bloquea(int fd, const std::string& path) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return;
    if (errno == EWOULDBLOCK) {
        throw Error(fmt::format(
            "otro proceso esta escribiendo en {}. Espera a que acabe y vuelve a intentarlo; si estas seguro de "
            "que no hay ninguno, es que ha quedado un proceso colgado.",
            path));
    }
    throw Error::sys(fmt::format("bloquear {}", path), errno);
}

Candado Candado::coge(const std::string& path) {
    UniqueFd fd = open_fd(path, O_RDONLY);
    if (!fd) throw Error::sys(fmt::format("abrir {} para bloquearlo", path), errno);
    bloquea(fd.get(), path);  // on a refusal the descriptor closes on the way out
    return Candado(std::move(fd));
}

}  // namespace zd::snapshot
