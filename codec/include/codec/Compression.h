#pragma once
// Operations on byte buffers: Base64 text in and out, gzip/zlib streams in
// and out, and reading a file that is decompressed when its name ends in
// ".gz". None of them keeps a reference to its arguments, and all of them
// may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Data.h"

namespace KDXML_Compression {

// Base64 (standard alphabet, "=" padding) on one line, no line feed at all.
std::string base64Encoding(const platform::Data& data);

// Base64 with a line feed after every group of four characters that brings
// the line to lineLength or beyond (0: one line). Full lines therefore hold
// the smallest multiple of 4 that is not below lineLength; a shorter last
// line has no line feed after it. Never writes a carriage return.
std::string base64EncodingWithLineLength(const platform::Data& data, std::uint32_t lineLength);

// Base64 of a byte stream fed in pieces of any size, on one line: the
// concatenated output is byte for byte base64Encoding of the concatenated
// input. Up to two bytes are held back until more come or finish().
class Base64Encoder {
 public:
  // Room that update() may need for n more input bytes.
  static std::size_t maxOutput(std::size_t n) { return (n + 2) / 3 * 4; }
  // Length of the whole text for n input bytes.
  static std::uint64_t encodedLength(std::uint64_t n) { return (n + 2) / 3 * 4; }

  // Encodes what completes whole groups into out (at least maxOutput(n)
  // bytes of room); returns how many characters were written.
  std::size_t update(const std::uint8_t* data, std::size_t n, char* out);
  // Writes the last, padded group if bytes are held back (at most 4
  // characters); returns how many. The encoder is then ready for a new text.
  std::size_t finish(char* out);
  // The same, appending to a string.
  void update(const std::uint8_t* data, std::size_t n, std::string& out);
  void finish(std::string& out);

 private:
  std::uint8_t held_[3] = {0, 0, 0};
  std::size_t heldCount_ = 0;
};

// Lenient Base64 decoding: characters outside the alphabet are skipped, the
// first "=" ends the data (a group it cuts short yields 1 or 2 bytes), an
// unpadded incomplete last group is dropped. Text holding any byte outside
// ASCII, and null text, decode to an empty buffer.
platform::Data initWithBase64EncodedString(const std::optional<std::string_view>& text);

// The same decoding; always a new buffer.
platform::Data dataWithBase64EncodedString(const std::optional<std::string_view>& text);

// A gzip stream (default level, zlib's default header) holding the data; the
// empty buffer for empty data; nothing when zlib cannot be prepared or the
// input or output would reach 4 GiB.
std::optional<platform::Data> gzipDeflate(const platform::Data& data);

// The contents of the first gzip or zlib stream that the data starts with
// (anything after that stream is ignored); the empty buffer for empty data;
// nothing for data that is not one complete, intact stream, and when the
// input or output would reach 4 GiB.
std::optional<platform::Data> gzipInflate(const platform::Data& data);

// The whole file, decompressed with gzipInflate when the path's extension
// is exactly "gz" (case-sensitive); nothing when the file cannot be read or
// cannot be decompressed.
std::optional<platform::Data> dataWithUncompressedContentsOfFile(const std::string& path);

}  // namespace KDXML_Compression
