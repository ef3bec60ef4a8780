#pragma once
// Operations on byte buffers: Base64 text in and out, gzip/zlib streams in
// and out, and reading a file that is decompressed when its name ends in
// ".gz". None of them keeps a reference to its arguments, and all of them
// may be called from any thread.

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
