// Feeds arbitrary text to the lenient Base64 decoder and holds it against a
// plain model of the algorithm; also encodes the input with a line length
// taken from its first byte and checks that it decodes back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codec/Compression.h"

namespace {

platform::Data modelDecode(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return {};
  }
  platform::Data out;
  std::uint8_t s[4] = {0, 0, 0, 0};
  int held = 0;
  for (unsigned char c : text) {
    int v = -1;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    if (c >= '0' && c <= '9') v = c - '0' + 52;
    if (c == '+') v = 62;
    if (c == '/') v = 63;
    if (c == '=') {
      if (held >= 1) out.push_back(static_cast<std::uint8_t>(s[0] << 2 | (s[1] >> 4 & 3)));
      if (held == 3) out.push_back(static_cast<std::uint8_t>((s[1] & 15) << 4 | (s[2] >> 2 & 15)));
      return out;
    }
    if (v < 0) continue;
    s[held++] = static_cast<std::uint8_t>(v);
    if (held == 4) {
      out.push_back(static_cast<std::uint8_t>(s[0] << 2 | (s[1] >> 4 & 3)));
      out.push_back(static_cast<std::uint8_t>((s[1] & 15) << 4 | (s[2] >> 2 & 15)));
      out.push_back(static_cast<std::uint8_t>((s[2] & 3) << 6 | s[3]));
      held = 0;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (KDXML_Compression::dataWithBase64EncodedString(text) != modelDecode(text)) std::abort();

  platform::Data bytes(data, data + size);
  std::uint32_t lineLength = size == 0 ? 0 : data[0] % 90;
  std::string encoded = KDXML_Compression::base64EncodingWithLineLength(bytes, lineLength);
  if (KDXML_Compression::dataWithBase64EncodedString(encoded) != bytes) std::abort();
  return 0;
}
