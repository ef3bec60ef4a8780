// Feeds arbitrary bytes to the decoder of the requests a starter sends the
// primary, and checks what the primary relies on: every decoded path is
// absolute, not empty and free of NUL bytes, and a decoded request encodes
// back to exactly the bytes it came from.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/SingleInstance.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  auto request = platform::decodeSingleInstanceRequest(bytes);
  if (!request) return 0;
  for (const auto& path : request->paths) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) std::abort();
  }
  if (platform::encodeSingleInstanceRequest(request->id, request->paths) != bytes) std::abort();
  return 0;
}
