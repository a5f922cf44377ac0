// casa_patron: the one pattern test for --file, list and --exclude. Works on the
// "/"-separated relative path an index stores; never touches the file system.
#pragma once

#include <string_view>

namespace zd::format {

// An exact path, a directory (everything under it), a bare name at any depth,
// or a "*" wildcard (leftmost pieces, no backtracking). Case-sensitive bytes.
bool casa_patron(std::string_view path, std::string_view pattern);

}  // namespace zd::format
