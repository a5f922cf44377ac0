#include "crypto/secret_bytes.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace zd::crypto {

void SecretBytes::append(const uint8_t* data, size_t len) {
    if (len == 0) return;
    if (buf_.size() + len > buf_.capacity()) {
        // Reallocate by hand: std::vector would free the old block unwiped.
        std::vector<uint8_t> bigger;
        bigger.reserve(std::max(buf_.size() + len, 2 * buf_.capacity() + 64));
        bigger.assign(buf_.begin(), buf_.end());
        wipe();
        buf_.swap(bigger);
    }
    const size_t old = buf_.size();
    buf_.resize(old + len);
    std::memcpy(buf_.data() + old, data, len);
}

void SecretBytes::truncate(size_t len) {
    if (len >= buf_.size()) return;
    sodium_memzero(buf_.data() + len, buf_.size() - len);
    buf_.resize(len);
}

void SecretBytes::trim_line_ends() {
    size_t len = buf_.size();
    while (len > 0 && (buf_[len - 1] == '\r' || buf_[len - 1] == '\n')) --len;
    truncate(len);
}

void SecretBytes::wipe() {
    if (!buf_.empty()) sodium_memzero(buf_.data(), buf_.size());
    buf_.clear();
}

}  // namespace zd::crypto
