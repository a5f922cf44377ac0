// ZD_* environment switches and numbers, parsed the one strict way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zd {

// The variable's value when it is set and valid UTF-8.
std::optional<std::string> env_text(const char* name);

// A switch is on when it holds valid UTF-8 that is neither empty nor "0".
bool env_switch_on(const char* name);

// Strict decimal parsers: optional leading "+" (and "-" for signed), digits only,
// no overflow. std::nullopt for anything else.
std::optional<uint64_t> parse_u64(const std::string& text);
std::optional<int64_t> parse_i64(const std::string& text);
std::optional<int32_t> parse_i32(const std::string& text);

// The variable read with parse_u64 / parse_i32; nullopt when unset or unparsable.
std::optional<uint64_t> env_u64(const char* name);
std::optional<int32_t> env_i32(const char* name);

}  // namespace zd
