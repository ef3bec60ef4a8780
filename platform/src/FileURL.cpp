#include "platform/FileURL.h"

namespace platform {
namespace {

constexpr std::string_view kScheme = "file://";

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string fileURLForPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out(kScheme);
  out.reserve(kScheme.size() + path.size());
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (isUnreserved(c) || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string pathForFileURL(std::string_view url) {
  if (url.substr(0, kScheme.size()) == kScheme) {
    url.remove_prefix(kScheme.size());
    constexpr std::string_view kLocalhost = "localhost/";
    if (url.substr(0, kLocalhost.size()) == kLocalhost) url.remove_prefix(kLocalhost.size() - 1);
  }
  std::string out;
  out.reserve(url.size());
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size() && hexValue(url[i + 1]) >= 0 && hexValue(url[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(url[i + 1]) * 16 + hexValue(url[i + 2]));
      i += 2;
    } else {
      out += url[i];
    }
  }
  return out;
}

}  // namespace platform
