// Which lane a file's data goes to: 0 text, 1 media (already compressed),
// 2 other. Frames hold one lane only, so each can get the codec that suits it.
// Pure functions apart from the one short read of lane_for; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/bytes.h"

namespace zd::compress {

inline constexpr uint8_t kLaneText = 0;
inline constexpr uint8_t kLaneMedia = 1;
inline constexpr uint8_t kLaneOther = 2;

// By the extension of the last path component when it is a known one,
// otherwise by the file's first 4 KiB (lane 2 when it cannot be read). Never fails.
uint8_t lane_for(const std::string& path);

// The extension half of lane_for: nullopt when the extension decides nothing
// and the content must be looked at. Lets a caller that is about to read the
// file anyway sniff its first bytes instead of opening it twice.
std::optional<uint8_t> lane_por_extension(const std::string& path);

// The content rule alone, on the first min(4096, size) bytes: a 0 byte gives
// 2; otherwise 0 when fewer than 1 in 32 bytes are control bytes, else 2.
// Standard input takes its lane from this on its first chunk.
uint8_t lane_por_contenido(ByteView first_bytes);

}  // namespace zd::compress
