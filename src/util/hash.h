// BLAKE3-256 hashing over the official C implementation (SIMD dispatch at run time).
#pragma once

#include <string_view>

#include "util/bytes.h"

namespace zd {

class Blake3 {
public:
    Blake3();
    ~Blake3();
    Blake3(const Blake3&) = delete;
    Blake3& operator=(const Blake3&) = delete;

    void update(ByteView data);
    void update(std::string_view text);
    Hash32 finalize() const;
    // The first 16 bytes: the fingerprint kept for files and chunks.
    Hash16 finalize16() const;

private:
    struct State;
    State* state_;
};

Hash32 blake3_256(ByteView data);
Hash16 blake3_16(ByteView data);
Hash16 blake3_16(std::string_view text);

}  // namespace zd
