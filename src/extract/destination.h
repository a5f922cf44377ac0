// Writing under the destination directory without ever leaving it.
//
// Everything is created relative to directory descriptors, one component at a
// time: a parent component that is a symbolic link is never followed (the
// archive may plant one, or the destination may already hold one), and a final
// name is never opened through a link — links, nodes and directories are made
// with the *at calls that refuse to follow, regular files are written to a
// fresh temporary name and renamed over whatever was there.
//
// A Destino is read-only after construction, so any number of workers may use
// one at the same time; each call returns descriptors owned by the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/index.h"
#include "util/bytes.h"
#include "util/fd.h"

namespace zd::extract {

// The components of an index path, with empty and "." pieces dropped. Empty
// for "", "." or "./.": such a path names the destination itself.
std::vector<std::string_view> componentes(std::string_view path);

class Destino {
public:
    // Creates `root` and its parents when missing (following links: the user
    // named it) and opens it. Errors: "crear {}" / "abrir {}".
    explicit Destino(std::string root);

    // The parent directory of an entry and the entry's last component.
    struct Padre {
        UniqueFd dir;  // O_PATH descriptor, usable as the base of *at calls
        std::string leaf;
    };

    // Opens the parent of `path`, creating missing directories with 0777.
    // nullopt when a component on the way is a symbolic link. `path` must have
    // at least one component. Throws "crear {}" when a directory cannot be made.
    std::optional<Padre> padre(std::string_view path) const;

    // The destination path of an entry, for messages.
    std::string muestra(std::string_view path) const;

    int fd() const { return fd_.get(); }

private:
    std::string root_;
    UniqueFd fd_;
};

// A new file in `dir` under a name of its own, removed on destruction unless
// renamed into place. `dir` must outlive it.
class Temporal {
public:
    // `context` heads its errors ("crear {}", "copiar a {}"), the system
    // error below it.
    Temporal(int dir, std::string context);
    ~Temporal();
    Temporal(const Temporal&) = delete;
    Temporal& operator=(const Temporal&) = delete;

    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }
    // Closes the descriptor; metadata is then applied to name().
    void cierra();
    // Renames over `leaf` in the same directory, replacing a link or file
    // there without following it. Throws under the context.
    void coloca(const std::string& leaf);

private:
    int dir_;
    std::string context_;
    std::string name_;
    UniqueFd fd_;
    bool placed_ = false;
};

// Writes a regular file in 64 KiB blocks, aligned to the start of the file;
// an all-zero block is skipped over and becomes a hole, and the length is set
// at the end so trailing zero blocks stay holes too. Memory stays at one block
// whatever the file size. Throws the bare system error.
class EscritorDisperso {
public:
    static constexpr size_t kBloque = 65536;

    explicit EscritorDisperso(int fd) : fd_(fd) { block_.reserve(kBloque); }
    void escribe(ByteView data);
    void termina();
    uint64_t length() const { return length_; }

private:
    void flush_block(ByteView block);

    int fd_;
    Bytes block_;
    uint64_t skip_ = 0;
    uint64_t length_ = 0;
};

// The whole of `data` through EscritorDisperso into the open file `fd`.
void escribe_quiza_disperso(int fd, ByteView data);

// Restores owner, permissions, extended attributes and mtime of `name` in
// `dir`, in that order, never following a link at `name`. Every failure is
// ignored: metadata never fails an extraction.
void aplicar_meta(int dir, const std::string& name, const format::FileRec& rec, bool is_link);

}  // namespace zd::extract
