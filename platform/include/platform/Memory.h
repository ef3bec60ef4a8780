#pragma once
// Hints to the system about how memory will be used.

#include <cstddef>

namespace platform {

// Asks for huge pages behind a large buffer that is about to be written from
// start to end, which makes touching it for the first time far cheaper
// (one fault per 2 MiB instead of per 4 KiB). Call it before the buffer's
// memory is first touched. Does nothing for buffers under 8 MiB and where
// the system offers no such hint; never changes the buffer's contents.
void adviseSequentialFill(void* address, std::size_t length);

}  // namespace platform
