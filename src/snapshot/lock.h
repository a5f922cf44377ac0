// Candado: the exclusive advisory lock that keeps two writers (add, forget)
// away from one archive. It is held through a read-only descriptor of the
// archive and lasts as long as that descriptor stays open. Readers do not
// take it. Owned by the operation that took it; not shared between threads.
#pragma once

#include <string>

#include "util/fd.h"

namespace zd::snapshot {

class Candado {
public:
    // Opens `path` read-only ("abrir {} para bloquearlo") and locks it without
    // waiting: a lock held elsewhere is refused with "otro proceso esta
    // escribiendo en {}. ...".
    static Candado coge(const std::string& path);

    Candado(Candado&&) noexcept = default;
    Candado& operator=(Candado&&) noexcept = default;

    // The locked descriptor; it stays open and locked until this object ends.
    int fd() const { return fd_.get(); }

private:
    explicit Candado(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// Locks `fd` exclusively without waiting; `path` names it in the messages.
// Throws the refusal of Candado::coge, or "bloquear {}" for other failures.
void bloquea(int fd, const std::string& path);

}  // namespace zd::snapshot
