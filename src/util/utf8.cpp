#include "util/utf8.h"

namespace zd {

namespace {

// Length of the valid sequence at s[i], or 0 when it is invalid; `bad` then
// holds the length of the maximal invalid subpart (at least 1).
size_t sequence_at(std::string_view s, size_t i, size_t& bad) {
    auto byte = [&](size_t k) -> unsigned { return (unsigned char)s[k]; };
    unsigned b0 = byte(i);
    bad = 1;
    if (b0 < 0x80) return 1;
    size_t need;
    unsigned lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            bad = k;
            return 0;
        }
        unsigned b = byte(i + k);
        unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) {
            bad = k;
            return 0;
        }
    }
    return need + 1;
}

}  // namespace

std::optional<size_t> utf8_error_at(std::string_view s) {
    size_t i = 0, bad;
    while (i < s.size()) {
        size_t n = sequence_at(s, i, bad);
        if (n == 0) return i;
        i += n;
    }
    return std::nullopt;
}

bool is_valid_utf8(std::string_view s) { return !utf8_error_at(s); }

std::string lossy_utf8(std::string_view s) {
    if (is_valid_utf8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + 8);
    size_t i = 0, bad;
    while (i < s.size()) {
        size_t n = sequence_at(s, i, bad);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += bad;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace zd
