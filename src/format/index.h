// The archive's index in memory: every file of every snapshot, every distinct
// chunk and every frame, plus the level. escribir/leer_v give its serialised
// form (LEB128 numbers, zigzag and delta coding); Lec is the reading cursor.
//
// An Index is built by the compression driver or by leer_v and is read-only
// afterwards, so any number of threads may read one at the same time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/bytes.h"

namespace zd::format {

struct Interior;

// One re-inflated deflate stream of a file.
struct Hueco {
    std::vector<std::pair<uint32_t, uint32_t>> tramos;  // (start, length), ascending
    Bytes correcciones;
    std::vector<Interior> interior;  // zero or one nested record (extended form only)
    uint32_t plano = 0;
    uint8_t clase = 0;  // 0..2, extended form only

    bool operator==(const Hueco& other) const;
};

struct Interior {
    Bytes esqueleto;
    std::vector<Hueco> huecos;  // basic form: no interior, clase 0

    bool operator==(const Interior& other) const = default;
};

enum class TransformKind : uint8_t {
    Deflate = 1,  // kind byte 1, or 5 when a Hueco uses the extended form
    Jxl = 2,
    E8e9 = 3,
    LogTs = 4,
};

struct Transform {
    TransformKind kind = TransformKind::Deflate;
    Bytes esqueleto;            // deflate re-creation only
    std::vector<Hueco> huecos;  // deflate re-creation only

    bool operator==(const Transform& other) const = default;
};

struct Xattr {
    std::string name;
    Bytes value;

    bool operator==(const Xattr& other) const = default;
};

struct FileRec {
    std::string path;
    std::vector<uint64_t> chunks;
    std::vector<Xattr> xattrs;
    std::optional<std::string> link_target;
    std::optional<Transform> transform;
    std::optional<uint32_t> hard_link;
    uint64_t size = 0;
    Hash16 hash{};
    int64_t mtime = 0;
    uint64_t rdev = 0;
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;

    bool operator==(const FileRec& other) const = default;
};

struct ChunkRec {
    Hash16 hash{};
    uint32_t frame = 0;
    uint32_t offset = 0;
    uint32_t len = 0;

    bool operator==(const ChunkRec& other) const = default;
};

enum Codec : uint8_t { kStored = 0, kZstd = 1, kCm = 2 };
enum Lane : uint8_t { kText = 0, kMedia = 1, kOther = 2 };

struct FrameRec {
    uint64_t offset = 0;
    uint64_t stored_len = 0;
    uint64_t raw_len = 0;
    uint8_t codec = 0;
    uint8_t lane = 0;

    bool operator==(const FrameRec& other) const = default;
};

struct Index {
    std::vector<FileRec> files;
    std::vector<ChunkRec> chunks;
    std::vector<FrameRec> frames;
    int32_t level = 19;

    bool operator==(const Index& other) const = default;
};

// Which optional fields a serialised index carries (derived from the archive version).
struct IndexFlags {
    bool chunk_hashes = true;  // version >= 13
    bool owners = true;        // version >= 14: uid, gid, rdev, hard links
    bool xattrs = true;        // version >= 16
};

// Serialises in the version-16 form. Never fails. Prints the size report on
// standard error when ZD_INDICE_DEBUG is set.
Bytes escribir(const Index& index);

// Parses and checks a serialised index; throws zd::Error with the first problem.
Index leer_v(ByteView data, IndexFlags flags);

// Reading cursor over a serialised index.
class Lec {
public:
    explicit Lec(ByteView data, size_t pos = 0) : data_(data), pos_(pos) {}

    uint64_t var();          // one unsigned LEB128 number
    uint64_t cuenta();       // a var used as an element count: at most the bytes left
    std::string texto();     // var length + that many bytes of UTF-8
    Bytes bytes();           // var length + that many bytes
    uint8_t byte();          // one raw byte
    Hash16 hash16();         // 16 raw bytes

    size_t pos() const { return pos_; }
    size_t left() const { return data_.size() - pos_; }

private:
    ByteView data_;
    size_t pos_;
};

// One Hueco in its basic or extended form.
void escribe_hueco(Bytes& out, const Hueco& hueco, bool extended);
Hueco lee_hueco(Lec& lec, bool extended);

// LEB128 and zigzag helpers shared by the writer and its tests.
void put_var(Bytes& out, uint64_t v);
inline uint64_t zigzag(int64_t n) { return (uint64_t(n) << 1) ^ uint64_t(n >> 63); }
inline int64_t unzigzag(uint64_t v) { return int64_t(v >> 1) ^ -int64_t(v & 1); }

}  // namespace zd::format
