// olvidar: drops one snapshot from an archive and gives back the space only it
// used. A compacted archive is written beside the old one with the frames the
// remaining files still use, copied as stored (never decoded), and a new index;
// it replaces the archive only once it opens.
//
// Single-threaded; takes the archive's lock for its whole length. An encrypted
// archive needs its key installed (crypto::pon_clave): the compacted archive
// keeps the original crypto header and its index is sealed with that key.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace zd::snapshot {

// Forgets snapshot `name` (trailing "/" ignored) and returns the archive's
// size before and after. On failure the archive is left as it was and the
// compacting file ("{archive without .zd}.zd.compactando") is removed, except
// when the finished file fails to open: it is kept to be examined.
std::pair<uint64_t, uint64_t> olvidar(const std::string& archive, const std::string& name);

}  // namespace zd::snapshot
