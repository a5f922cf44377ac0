// Byte buffers and fixed-size digests shared by every subsystem.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace zd {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;
using Hash16 = std::array<uint8_t, 16>;
using Hash32 = std::array<uint8_t, 32>;

// Little-endian stores and loads, for the container's fixed fields.
inline void put_u64le(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint64_t get_u64le(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}
inline void put_u32le(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint32_t get_u32le(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(p[i]) << (8 * i);
    return v;
}

}  // namespace zd
