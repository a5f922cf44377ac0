// UTF-8 validation and lossy conversion of raw names (invalid sequences -> U+FFFD).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zd {

bool is_valid_utf8(std::string_view s);

// Position of the first invalid sequence, or nullopt when `s` is valid UTF-8.
std::optional<size_t> utf8_error_at(std::string_view s);

// Replaces each maximal invalid subpart by U+FFFD, as the Unicode standard
// recommends; valid input comes back unchanged.
std::string lossy_utf8(std::string_view s);

}  // namespace zd
