#pragma once
// Reads and writes shared by the file helpers, the private folder and the
// terminal.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace platform::detail {

// Reads fd to its end, at most maxBytes (one byte more tells a file that grew
// past the bound: TooLarge). sizeHint, the size the file had when opened,
// only sizes the first buffer, so memory grows with what is read, never with
// what the file claims.
BoundedRead readToBound(int fd, std::uint64_t sizeHint, std::size_t maxBytes);

// The names in the folder open on folderFd ("." and ".." left out), in the
// order the file system gives them; nothing when it cannot be listed. Takes
// ownership of folderFd and closes it.
std::vector<std::string> entriesOf(int folderFd);

// Writes all n bytes, again after an interruption; false, with errno set,
// when the file takes no more.
bool writeAll(int fd, const void* data, std::size_t n);

// 16 random hexadecimal digits, for the names of temporaries.
std::string randomSuffix();

}  // namespace platform::detail
