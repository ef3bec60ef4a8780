#pragma once
// The bounded read shared by the file helpers and the private folder.

#include <cstddef>
#include <cstdint>

#include "platform/Files.h"

namespace platform::detail {

// Reads fd to its end, at most maxBytes (one byte more tells a file that grew
// past the bound: TooLarge). sizeHint, the size the file had when opened,
// only sizes the first buffer, so memory grows with what is read, never with
// what the file claims.
BoundedRead readToBound(int fd, std::uint64_t sizeHint, std::size_t maxBytes);

}  // namespace platform::detail
