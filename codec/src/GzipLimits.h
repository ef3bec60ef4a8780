#pragma once
// The gzip operations with their size limit as a parameter, so that tests
// can show what happens at the limit without 4 GiB of data.

#include <cstdint>
#include <optional>

#include "platform/Data.h"

namespace KDXML_Compression::detail {

// zlib counts input and output space in 32 bits: sizes from 4 GiB up are
// refused instead of being truncated.
inline constexpr std::uint64_t kGzipSizeLimit = std::uint64_t{1} << 32;

// Input or output of sizeLimit bytes or more gives nothing.
std::optional<platform::Data> gzipDeflate(const platform::Data& data, std::uint64_t sizeLimit);
std::optional<platform::Data> gzipInflate(const platform::Data& data, std::uint64_t sizeLimit);

}  // namespace KDXML_Compression::detail
