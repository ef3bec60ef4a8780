// Fuzzes the XML reader: the parser over arbitrary bytes must build the same
// records as the plain model of its rules (names, texts, attributes and every
// link), and a dotted query, given after the first NUL, walks them safely
// (the parser never reads past that NUL).

#include <cstdint>
#include <string_view>

#include "../xml/reference_parser.h"
#include "xml/KDXML.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view query = "*.*";
  if (const auto nul = input.find('\0'); nul != std::string_view::npos) query = input.substr(nul + 1);

  platform::Error error;
  auto document = xml::KDXML::kdxmlWithXMLData(platform::Data(data, data + size), &error);
  if (!document || (document->rootXMLElement() == nullptr && error.code > 1)) __builtin_trap();
  if (!reference::difference(std::string(input), *document).empty()) __builtin_trap();

  const xml::_KDXMLElement* root = document->rootXMLElement();
  for (auto from = root; from != nullptr; from = from->firstChild) {
    xml::KDXML::iterateElementsForQuery(query, from, [](const xml::_KDXMLElement* e) {
      if (e == nullptr || e->name == nullptr) __builtin_trap();
    });
  }
  // The string path builds the same tree.
  if (!reference::difference(std::string(input), *xml::KDXML::kdxmlWithXMLString(input)).empty()) __builtin_trap();
  return 0;
}
