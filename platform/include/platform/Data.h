#pragma once
// The byte buffer used throughout the project. One type serves as both the
// immutable buffer and its growable variant: a contiguous vector of bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Data = std::vector<std::uint8_t>;

// Copies the bytes of a text into a new buffer.
Data dataFromString(std::string_view text);

// Views the bytes of a buffer as text; valid while the buffer is unchanged.
std::string_view stringView(const Data& data);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool isValidUTF8(std::string_view bytes);

}  // namespace platform
