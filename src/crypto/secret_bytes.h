// A byte buffer for passwords: its storage is wiped whenever it is given up,
// on growth, on truncation and on destruction, so no stale copy stays behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/bytes.h"

namespace zd::crypto {

class SecretBytes {
public:
    SecretBytes() = default;
    SecretBytes(const uint8_t* data, size_t len) { append(data, len); }
    ~SecretBytes() { wipe(); }

    SecretBytes(SecretBytes&& other) noexcept = default;
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            buf_ = std::move(other.buf_);
            other.buf_.clear();
        }
        return *this;
    }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    void append(const uint8_t* data, size_t len);
    void push_back(uint8_t byte) { append(&byte, 1); }
    // Drops the bytes from `len` on, wiping them first.
    void truncate(size_t len);
    // Drops every trailing CR and LF byte.
    void trim_line_ends();

    const uint8_t* data() const { return buf_.data(); }
    size_t size() const { return buf_.size(); }
    bool empty() const { return buf_.empty(); }
    ByteView view() const { return ByteView(buf_.data(), buf_.size()); }

    friend bool operator==(const SecretBytes& a, const SecretBytes& b) { return a.buf_ == b.buf_; }

private:
    void wipe();
    std::vector<uint8_t> buf_;
};

}  // namespace zd::crypto
