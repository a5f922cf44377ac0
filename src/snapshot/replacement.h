// The file an archive is rewritten into before it takes the archive's place:
// the working copy of add, the compacting file of forget. It lives beside the
// archive, is locked while this process writes it, and is removed when the
// operation fails unless the caller chose to keep it. Single-threaded.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "util/fd.h"

namespace zd::snapshot {

// `archive` with `extension` in place of its ".zd" ("copia.zd" with
// "zd.parcial" gives "copia.zd.parcial"). Any other name keeps what it has
// and gets "." + extension appended ("copia.tar.zd.parcial"), so that
// "copia.tar" and "copia.zd" never share a working file. "copia" and
// "copia.zd" do; the lock taken by Replacement::create turns that clash into
// a refusal instead of two writers in one file.
std::string sibling_path(const std::string& archive, std::string_view extension);

class Replacement {
public:
    // Opens `path` for writing (created with `mode`, never through a link),
    // locks it so that no other writer can be using the same name, then
    // empties it and gives it `mode`. A leftover of an earlier failure is
    // reclaimed. Throws the bare system error, or the lock refusal; the file
    // is removed only once it is ours.
    static Replacement create(std::string path, mode_t mode);

    Replacement(Replacement&& other) noexcept;
    Replacement& operator=(Replacement&&) = delete;
    Replacement(const Replacement&) = delete;
    ~Replacement();

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }

    // Leaves the file on disk when this object ends.
    void keep() { armed_ = false; }

    // fsync ("sincronizar {}"), rename over `target` (the system error as is),
    // fsync of the directory. The file is removed if the rename fails.
    void replace(const std::string& target);

private:
    Replacement(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

    std::string path_;
    UniqueFd fd_;
    bool armed_ = true;
};

}  // namespace zd::snapshot
