// gzip compression and gzip/zlib decompression of whole buffers with zlib,
// and the file reader that decompresses ".gz" files.
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "GzipLimits.h"
#include "codec/Compression.h"
#include "platform/Files.h"
#include "platform/Memory.h"

namespace KDXML_Compression {
namespace detail {
namespace {

// 15: a 32 KiB window; +16: gzip header and trailer instead of the zlib
// wrapper.
constexpr int kDeflateWindowBits = 15 + 16;
// 15: windows up to 32 KiB; +32: accept a zlib or a gzip wrapper, told apart
// by the stream's header.
constexpr int kInflateWindowBits = 15 + 32;
constexpr int kMemLevel = 8;
// Compression offers zlib its output space in pieces of this size.
constexpr std::size_t kDeflateStep = 16384;
// Decompression lets zlib write into a window that stays in the cache, and
// appends each window's bytes to the result; that spares zero-filling the
// result before zlib overwrites it. Small inputs get a small window.
constexpr std::size_t kInflateWindowMax = std::size_t{256} * 1024;
constexpr std::size_t kInflateWindowMin = std::size_t{16} * 1024;
// deflate cannot shrink data by more than this factor, so a size announced
// by a gzip trailer beyond it is not believed.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

// Ends the zlib stream however the operation leaves.
struct DeflateGuard {
  z_stream* stream;
  ~DeflateGuard() { deflateEnd(stream); }
};

// Gives back the unused end of the buffer when it is large, so that a
// result does not keep a generous reservation alive.
void trimCapacity(platform::Data& out) {
  std::size_t spare = out.capacity() - out.size();
  if (spare > std::size_t{64} * 1024 && spare > out.size() / 8) out.shrink_to_fit();
}

// The size that a single-member gzip stream announces in its trailer (the
// last four bytes, little-endian), when the data is a gzip stream and the
// size is one that deflate could have produced from this input.
std::optional<std::uint64_t> announcedSize(const platform::Data& data, std::uint64_t maxOut) {
  if (data.size() < 18 || data[0] != 0x1f || data[1] != 0x8b) return std::nullopt;
  const std::uint8_t* t = data.data() + data.size() - 4;
  std::uint64_t size =
      std::uint64_t{t[0]} | std::uint64_t{t[1]} << 8 | std::uint64_t{t[2]} << 16 | std::uint64_t{t[3]} << 24;
  if (size == 0 || size > maxOut || size > data.size() * kMaxDeflateRatio) return std::nullopt;
  return size;
}

}  // namespace

std::optional<platform::Data> gzipDeflate(const platform::Data& data, std::uint64_t sizeLimit) {
  if (data.empty()) return data;
  if (data.size() >= sizeLimit) return std::nullopt;
  const std::uint64_t maxOut = sizeLimit - 1;

  z_stream zs{};
  zs.next_in = const_cast<Bytef*>(data.data());  // zlib does not write through it
  zs.avail_in = static_cast<uInt>(data.size());
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kDeflateWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  DeflateGuard guard{&zs};

  // zlib is offered its output space 16384 bytes at a time: it writes into a
  // window of that size, and each window's bytes are appended to the
  // result, whose worst case is reserved up front so that they never move.
  // Untouched reserved pages cost nothing.
  platform::Data out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(deflateBound(&zs, zs.avail_in), maxOut)));
  platform::adviseSequentialFill(out.data(), out.capacity());
  std::uint8_t window[kDeflateStep];

  int rc;
  do {
    zs.next_out = window;
    zs.avail_out = static_cast<uInt>(kDeflateStep);
    rc = deflate(&zs, Z_FINISH);
    const std::size_t produced = kDeflateStep - zs.avail_out;
    if (std::uint64_t{out.size()} + produced > maxOut) return std::nullopt;  // the stream would reach the limit
    out.insert(out.end(), window, window + produced);
    // With Z_FINISH every call fills the space offered until the stream is
    // complete; the first call that leaves space free has completed it.
  } while (zs.avail_out == 0);
  if (rc != Z_STREAM_END) return std::nullopt;

  trimCapacity(out);
  return out;
}

std::optional<platform::Data> gzipInflate(const platform::Data& data, std::uint64_t sizeLimit) {
  if (data.empty()) return data;
  if (data.size() >= sizeLimit) return std::nullopt;
  const std::uint64_t maxOut = sizeLimit - 1;
  const std::uint64_t full = data.size();
  const std::uint64_t half = full / 2;

  z_stream zs{};
  zs.next_in = const_cast<Bytef*>(data.data());  // zlib does not write through it
  zs.avail_in = static_cast<uInt>(data.size());
  if (inflateInit2(&zs, kInflateWindowBits) != Z_OK) return std::nullopt;

  // Room for one and a half times the input to start with, or for the size
  // a gzip trailer announces; beyond that the room grows by half the input
  // or doubles, whichever is more, so that highly compressed data does not
  // move its bytes over and over.
  platform::Data out;
  out.reserve(static_cast<std::size_t>(announcedSize(data, maxOut).value_or(std::min(full + half, maxOut))));
  platform::adviseSequentialFill(out.data(), out.capacity());
  const std::size_t windowSize = std::clamp<std::size_t>(out.capacity(), kInflateWindowMin, kInflateWindowMax);
  auto window = std::make_unique_for_overwrite<std::uint8_t[]>(windowSize);

  bool complete = false;
  bool tooLarge = false;
  for (;;) {
    zs.next_out = window.get();
    zs.avail_out = static_cast<uInt>(windowSize);
    const int rc = inflate(&zs, Z_SYNC_FLUSH);
    const std::size_t produced = windowSize - zs.avail_out;
    if (produced > 0) {
      const std::uint64_t needed = std::uint64_t{out.size()} + produced;
      if (needed > maxOut) {
        tooLarge = true;
        break;
      }
      if (needed > out.capacity()) {
        std::uint64_t room = std::max<std::uint64_t>(out.capacity() + half, 2 * std::uint64_t{out.capacity()});
        out.reserve(static_cast<std::size_t>(std::min(std::max(room, needed), maxOut)));
        platform::adviseSequentialFill(out.data() + out.size(), out.capacity() - out.size());
      }
      out.insert(out.end(), window.get(), window.get() + produced);
    }
    if (rc == Z_STREAM_END) {
      complete = true;
      break;
    }
    // Z_BUF_ERROR included: no progress is possible, the stream is cut short.
    if (rc != Z_OK) break;
  }
  const bool ended = inflateEnd(&zs) == Z_OK;
  if (!complete || tooLarge || !ended) return std::nullopt;

  trimCapacity(out);
  return out;
}

}  // namespace detail

std::optional<platform::Data> gzipDeflate(const platform::Data& data) {
  return detail::gzipDeflate(data, detail::kGzipSizeLimit);
}

std::optional<platform::Data> gzipInflate(const platform::Data& data) {
  return detail::gzipInflate(data, detail::kGzipSizeLimit);
}

namespace {

// The text after the last "." of the last path component ("" when none).
std::string pathExtension(const std::string& path) {
  std::string_view p = path;
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  std::size_t slash = p.rfind('/');
  std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
}

}  // namespace

std::optional<platform::Data> dataWithUncompressedContentsOfFile(const std::string& path) {
  std::optional<platform::Data> contents = platform::readFile(path);
  if (!contents || pathExtension(path) != "gz") return contents;
  return gzipInflate(*contents);
}

}  // namespace KDXML_Compression
