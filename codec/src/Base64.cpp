// Base64 encoding with line wrapping between groups of four, and the lenient
// decoder.
//
// Both directions are table driven and write into a buffer allocated once:
// the encoder knows its exact output size in advance; the decoder allocates
// the largest size its input could decode to and trims the end.
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "codec/Compression.h"
#include "platform/Memory.h"

namespace KDXML_Compression {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian machines are not supported");
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Two output characters for every 12-bit input value, laid out so that one
// 16-bit store writes them in text order.
constexpr std::array<std::uint16_t, 4096> makePairTable() {
  std::array<std::uint16_t, 4096> table{};
  for (unsigned i = 0; i < 4096; ++i) {
    auto first = static_cast<std::uint8_t>(kAlphabet[i >> 6]);
    auto second = static_cast<std::uint8_t>(kAlphabet[i & 63]);
    table[i] = kLittleEndian ? static_cast<std::uint16_t>(first | second << 8)
                             : static_cast<std::uint16_t>(first << 8 | second);
  }
  return table;
}
constexpr auto kPairs = makePairTable();

// Decoder character classes: 0..63 are alphabet values.
constexpr std::uint8_t kPadClass = 64;
constexpr std::uint8_t kSkipClass = 65;
constexpr std::uint8_t kNonASCIIClass = 66;

constexpr std::array<std::uint8_t, 256> makeClassTable() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = c < 0x80 ? kSkipClass : kNonASCIIClass;
  for (unsigned v = 0; v < 64; ++v) table[static_cast<std::uint8_t>(kAlphabet[v])] = static_cast<std::uint8_t>(v);
  table[static_cast<std::uint8_t>(kPad)] = kPadClass;
  return table;
}
constexpr auto kClass = makeClassTable();

// For the fast path: each table places a character's six bits at its
// position in a 24-bit group; anything that is not an alphabet character
// sets bits above the group, so one test after OR-ing four lookups tells
// whether all four were plain alphabet characters.
constexpr std::uint32_t kNotAlphabet = 0xFF000000U;
// The decoder's wide stores write two bytes past the six they produce.
constexpr std::size_t kStoreSlack = 2;

constexpr std::array<std::uint32_t, 256> makeShiftedTable(unsigned shift) {
  std::array<std::uint32_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) {
    table[c] = kClass[c] < 64 ? static_cast<std::uint32_t>(kClass[c]) << shift : kNotAlphabet;
  }
  return table;
}
constexpr auto kShift18 = makeShiftedTable(18);
constexpr auto kShift12 = makeShiftedTable(12);
constexpr auto kShift6 = makeShiftedTable(6);
constexpr auto kShift0 = makeShiftedTable(0);

inline std::uint64_t loadBigEndian64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (kLittleEndian) v = __builtin_bswap64(v);
  return v;
}

inline void storePair(char* dst, unsigned index) { std::memcpy(dst, &kPairs[index], 2); }

// Six bytes from an eight-byte load become eight characters in one store.
inline void encodeTwoGroups(const std::uint8_t* src, char* dst) {
  const std::uint64_t x = loadBigEndian64(src);
  const std::uint64_t a = kPairs[x >> 52];
  const std::uint64_t b = kPairs[(x >> 40) & 0xFFF];
  const std::uint64_t c = kPairs[(x >> 28) & 0xFFF];
  const std::uint64_t d = kPairs[(x >> 16) & 0xFFF];
  const std::uint64_t out = kLittleEndian ? (a | b << 16 | c << 32 | d << 48) : (a << 48 | b << 32 | c << 16 | d);
  std::memcpy(dst, &out, 8);
}

// Encodes `count` complete groups of three bytes. `srcEnd` is the end of the
// whole input: the wide loads read two bytes past the six they use, so they
// run only while those bytes exist.
char* encodeGroups(const std::uint8_t* src, std::size_t count, char* dst, const std::uint8_t* srcEnd) {
  while (count >= 4 && srcEnd - src >= 14) {
    encodeTwoGroups(src, dst);
    encodeTwoGroups(src + 6, dst + 8);
    src += 12;
    dst += 16;
    count -= 4;
  }
  while (count >= 2 && srcEnd - src >= 8) {
    encodeTwoGroups(src, dst);
    src += 6;
    dst += 8;
    count -= 2;
  }
  while (count > 0) {
    unsigned v = static_cast<unsigned>(src[0]) << 16 | static_cast<unsigned>(src[1]) << 8 | src[2];
    storePair(dst, v >> 12);
    storePair(dst + 2, v & 0xFFF);
    src += 3;
    dst += 4;
    --count;
  }
  return dst;
}

}  // namespace

std::string base64Encoding(const platform::Data& data) { return base64EncodingWithLineLength(data, 0); }

std::string base64EncodingWithLineLength(const platform::Data& data, std::uint32_t lineLength) {
  const std::size_t n = data.size();
  if (n == 0) return {};

  // A line ends only after a whole group, so a full line holds the number of
  // groups that first reaches the line length.
  const std::size_t groups = n / 3 + (n % 3 != 0 ? 1 : 0);
  const std::uint64_t groupsPerLine = lineLength == 0 ? 0 : (std::uint64_t{lineLength} + 3) / 4;
  const std::size_t lineFeeds = groupsPerLine == 0 ? 0 : groups / groupsPerLine;
  if (groups > (std::numeric_limits<std::size_t>::max() - lineFeeds) / 4) {
    throw std::length_error("base64EncodingWithLineLength: input too large");
  }

  const std::size_t size = groups * 4 + lineFeeds;
  std::string text;
  text.reserve(size);
  platform::adviseSequentialFill(text.data(), size);
  text.resize(size);
  char* dst = text.data();
  const std::uint8_t* src = data.data();
  const std::uint8_t* srcEnd = src + n;
  std::size_t fullGroups = n / 3;

  if (groupsPerLine == 0) {
    dst = encodeGroups(src, fullGroups, dst, srcEnd);
    src += fullGroups * 3;
  } else {
    while (fullGroups >= groupsPerLine) {
      dst = encodeGroups(src, groupsPerLine, dst, srcEnd);
      src += groupsPerLine * 3;
      *dst++ = '\n';
      fullGroups -= groupsPerLine;
    }
    dst = encodeGroups(src, fullGroups, dst, srcEnd);
    src += fullGroups * 3;
  }

  // The last group, padded when one or two bytes remain; it counts towards
  // its line like any other.
  const auto rest = static_cast<std::size_t>(srcEnd - src);
  if (rest > 0) {
    unsigned b0 = src[0];
    unsigned b1 = rest > 1 ? src[1] : 0;
    *dst++ = kAlphabet[b0 >> 2];
    *dst++ = kAlphabet[(b0 & 0x03) << 4 | b1 >> 4];
    *dst++ = rest > 1 ? kAlphabet[(b1 & 0x0F) << 2] : kPad;
    *dst++ = kPad;
    if (groupsPerLine != 0 && groups % groupsPerLine == 0) *dst++ = '\n';
  }
  return text;
}

std::size_t Base64Encoder::update(const std::uint8_t* data, std::size_t n, char* out) {
  char* dst = out;
  // Complete the group held back from the last piece first.
  while (heldCount_ > 0 && heldCount_ < 3 && n > 0) {
    held_[heldCount_++] = *data++;
    --n;
  }
  if (heldCount_ == 3) {
    dst = encodeGroups(held_, 1, dst, held_ + 3);
    heldCount_ = 0;
  }
  if (heldCount_ > 0) return static_cast<std::size_t>(dst - out);
  const std::size_t groups = n / 3;
  dst = encodeGroups(data, groups, dst, data + n);
  data += groups * 3;
  n -= groups * 3;
  for (std::size_t i = 0; i < n; ++i) held_[heldCount_++] = data[i];
  return static_cast<std::size_t>(dst - out);
}

std::size_t Base64Encoder::finish(char* out) {
  if (heldCount_ == 0) return 0;
  const unsigned b0 = held_[0];
  const unsigned b1 = heldCount_ > 1 ? held_[1] : 0;
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[(b0 & 0x03) << 4 | b1 >> 4];
  out[2] = heldCount_ > 1 ? kAlphabet[(b1 & 0x0F) << 2] : kPad;
  out[3] = kPad;
  heldCount_ = 0;
  return 4;
}

void Base64Encoder::update(const std::uint8_t* data, std::size_t n, std::string& out) {
  const std::size_t at = out.size();
  out.resize(at + maxOutput(n));
  out.resize(at + update(data, n, out.data() + at));
}

void Base64Encoder::finish(std::string& out) {
  char last[4];
  out.append(last, finish(last));
}

platform::Data initWithBase64EncodedString(const std::optional<std::string_view>& text) {
  if (!text || text->empty()) return {};
  const auto* p = reinterpret_cast<const std::uint8_t*>(text->data());
  const auto* const end = p + text->size();

  // At most three bytes per four characters, plus two for a group cut short
  // by "=", plus room for the fast path's eight-byte stores of six bytes.
  const std::size_t bound = text->size() / 4 * 3 + 2 + kStoreSlack;
  platform::Data out;
  out.reserve(bound);
  platform::adviseSequentialFill(out.data(), bound);
  out.resize(bound);
  std::uint8_t* o = out.data();

  // The group buffer. Slot 1 is deliberately not cleared between groups: a
  // single value ended by "=" takes its low two bits from whatever slot 1
  // still holds (0 before the first complete group).
  std::uint8_t slot[4] = {0, 0, 0, 0};
  unsigned held = 0;

  for (;;) {
    if (held == 0) {
      // Fast path: runs of four alphabet characters are whole groups.
      const auto* const start = p;
      while (end - p >= 8) {
        std::uint32_t x = kShift18[p[0]] | kShift12[p[1]] | kShift6[p[2]] | kShift0[p[3]];
        std::uint32_t y = kShift18[p[4]] | kShift12[p[5]] | kShift6[p[6]] | kShift0[p[7]];
        if ((x | y) & kNotAlphabet) break;
        std::uint64_t both = std::uint64_t{x} << 40 | std::uint64_t{y} << 16;
        if constexpr (kLittleEndian) both = __builtin_bswap64(both);
        std::memcpy(o, &both, 8);  // six bytes of output and two that later ones overwrite
        o += 6;
        p += 8;
      }
      while (end - p >= 4) {
        std::uint32_t x = kShift18[p[0]] | kShift12[p[1]] | kShift6[p[2]] | kShift0[p[3]];
        if (x & kNotAlphabet) break;
        o[0] = static_cast<std::uint8_t>(x >> 16);
        o[1] = static_cast<std::uint8_t>(x >> 8);
        o[2] = static_cast<std::uint8_t>(x);
        o += 3;
        p += 4;
      }
      if (p != start) slot[1] = kClass[p[-3]];
    }
    if (p == end) break;  // an incomplete last group yields nothing

    const std::uint8_t c = kClass[*p++];
    if (c < 64) {
      slot[held++] = c;
      if (held == 4) {
        o[0] = static_cast<std::uint8_t>(slot[0] << 2 | (slot[1] >> 4 & 0x03));
        o[1] = static_cast<std::uint8_t>((slot[1] & 0x0F) << 4 | (slot[2] >> 2 & 0x0F));
        o[2] = static_cast<std::uint8_t>((slot[2] & 0x03) << 6 | slot[3]);
        o += 3;
        held = 0;
      }
    } else if (c == kPadClass) {
      if (held >= 1) *o++ = static_cast<std::uint8_t>(slot[0] << 2 | (slot[1] >> 4 & 0x03));
      if (held == 3) *o++ = static_cast<std::uint8_t>((slot[1] & 0x0F) << 4 | (slot[2] >> 2 & 0x0F));
      // Nothing after the first "=" is decoded, but the text as a whole must
      // still be ASCII.
      for (; p != end; ++p) {
        if (*p >= 0x80) return {};
      }
      break;
    } else if (c == kNonASCIIClass) {
      return {};
    }
  }

  out.resize(static_cast<std::size_t>(o - out.data()));
  // Text with much foreign matter leaves a large unused tail; give it back.
  if (out.capacity() - out.size() > 4096 && out.capacity() - out.size() > out.capacity() / 4) out.shrink_to_fit();
  return out;
}

platform::Data dataWithBase64EncodedString(const std::optional<std::string_view>& text) {
  return initWithBase64EncodedString(text);
}

}  // namespace KDXML_Compression
