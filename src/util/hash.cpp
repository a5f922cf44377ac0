#include "util/hash.h"

#include <algorithm>

#include "blake3.h"

namespace zd {

struct Blake3::State {
    blake3_hasher h;
};

Blake3::Blake3() : state_(new State) { blake3_hasher_init(&state_->h); }
Blake3::~Blake3() { delete state_; }

void Blake3::update(ByteView data) { blake3_hasher_update(&state_->h, data.data(), data.size()); }
void Blake3::update(std::string_view text) { blake3_hasher_update(&state_->h, text.data(), text.size()); }

Hash32 Blake3::finalize() const {
    Hash32 out;
    blake3_hasher_finalize(&state_->h, out.data(), out.size());
    return out;
}

Hash16 Blake3::finalize16() const {
    Hash16 out;
    blake3_hasher_finalize(&state_->h, out.data(), out.size());
    return out;
}

Hash32 blake3_256(ByteView data) {
    Blake3 h;
    h.update(data);
    return h.finalize();
}

Hash16 blake3_16(ByteView data) {
    Blake3 h;
    h.update(data);
    return h.finalize16();
}

Hash16 blake3_16(std::string_view text) {
    Blake3 h;
    h.update(text);
    return h.finalize16();
}

}  // namespace zd
