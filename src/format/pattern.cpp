#include "format/pattern.h"

namespace zd::format {

namespace {

bool match_literal(std::string_view path, std::string_view pattern) {
    if (path == pattern) return true;
    // A directory: everything under it, with or without the trailing "/".
    std::string_view dir = pattern;
    while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
    if (path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/') return true;
    // A bare name at any depth.
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return last == pattern;
}

// Each piece takes its leftmost occurrence; no backtracking, so "*.log" does
// not match "a.log.log".
bool match_wildcard(std::string_view path, std::string_view pattern) {
    size_t pos = 0;
    bool first = true;
    std::string_view piece;
    while (true) {
        size_t star = pattern.find('*');
        piece = pattern.substr(0, star);
        if (!piece.empty()) {
            if (first) {
                if (!path.starts_with(piece)) return false;
                pos = piece.size();
            } else {
                size_t at = path.find(piece, pos);
                if (at == std::string_view::npos) return false;
                pos = at + piece.size();
            }
        }
        if (star == std::string_view::npos) break;
        pattern.remove_prefix(star + 1);
        first = false;
    }
    return piece.empty() || pos == path.size();
}

}  // namespace

bool casa_patron(std::string_view path, std::string_view pattern) {
    if (pattern.empty()) return true;
    if (pattern.find('*') == std::string_view::npos) return match_literal(path, pattern);
    return match_wildcard(path, pattern);
}

}  // namespace zd::format
