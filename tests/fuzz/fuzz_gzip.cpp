// Feeds arbitrary bytes to gzipInflate and holds the result against a
// straightforward use of zlib; also compresses the input and checks that it
// decompresses back.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <optional>

#include "codec/Compression.h"

namespace {

// The first zlib or gzip stream at the start of the input, or nothing.
std::optional<platform::Data> referenceInflate(const std::uint8_t* data, std::size_t size) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 32) != Z_OK) return std::nullopt;
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  platform::Data out;
  std::uint8_t chunk[4096];
  int rc;
  do {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
  } while (rc == Z_OK);
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::Data input(data, data + size);
  std::optional<platform::Data> ours = KDXML_Compression::gzipInflate(input);
  if (size == 0) {
    if (!ours || !ours->empty()) std::abort();
  } else if (ours != referenceInflate(data, size)) {
    std::abort();
  }

  std::optional<platform::Data> packed = KDXML_Compression::gzipDeflate(input);
  if (!packed || KDXML_Compression::gzipInflate(*packed) != input) std::abort();
  return 0;
}
