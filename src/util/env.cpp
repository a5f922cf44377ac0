#include "util/env.h"

#include <cstdlib>
#include <limits>

#include "util/utf8.h"

namespace zd {

std::optional<std::string> env_text(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    std::string s(v);
    if (!is_valid_utf8(s)) return std::nullopt;
    return s;
}

bool env_switch_on(const char* name) {
    auto v = env_text(name);
    return v && !v->empty() && *v != "0";
}

std::optional<uint64_t> parse_u64(const std::string& text) {
    size_t i = 0;
    if (i < text.size() && text[i] == '+') ++i;
    if (i == text.size()) return std::nullopt;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t d = uint64_t(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

std::optional<int64_t> parse_i64(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    // Accumulate as a negative number so INT64_MIN fits.
    int64_t v = 0;
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        int64_t d = c - '0';
        if (v < (kMin + d) / 10) return std::nullopt;
        v = v * 10 - d;
    }
    if (!negative) {
        if (v == kMin) return std::nullopt;
        v = -v;
    }
    return v;
}

std::optional<int32_t> parse_i32(const std::string& text) {
    auto v = parse_i64(text);
    if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return int32_t(*v);
}

std::optional<uint64_t> env_u64(const char* name) {
    auto v = env_text(name);
    if (!v) return std::nullopt;
    return parse_u64(*v);
}

std::optional<int32_t> env_i32(const char* name) {
    auto v = env_text(name);
    if (!v) return std::nullopt;
    return parse_i32(*v);
}

}  // namespace zd
