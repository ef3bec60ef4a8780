// Fuzzes the XML reader: the parser over arbitrary bytes, compared with the
// plain model of its rules, then every query over the records it made. The
// input is the document, optionally followed by a NUL and a dotted query
// (the parser never reads past the first NUL).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "../xml/reference_parser.h"
#include "xml/KDXML.h"

namespace {

using xml::_KDXMLAttribute;
using xml::_KDXMLElement;
using xml::KDXML;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Links of one element: its children point back to it and form a list whose
// ends are firstChild and lastChild.
void checkLinks(const _KDXMLElement* element) {
  const _KDXMLElement* previous = nullptr;
  for (const _KDXMLElement* child = element->firstChild; child != nullptr; child = child->nextSibling) {
    check(child->parentElement == element);
    check(child->previousSibling == previous);
    previous = child;
  }
  check(element->lastChild == previous);
}

void exercise(const _KDXMLElement* element, std::string_view query) {
  platform::Error error;
  checkLinks(element);
  const auto name = KDXML::elementName(element, &error);
  KDXML::textForElement(element, &error);
  KDXML::textForElement(element);
  if (element->text != nullptr) (void)std::strlen(element->text);

  KDXML::iterateAttributesOfElement(element, [&](const _KDXMLAttribute* attribute, std::optional<std::string> n,
                                                 std::optional<std::string>) {
    check(attribute->value != nullptr);
    platform::Error e;
    KDXML::attributeName(attribute, &e);
    KDXML::attributeValue(attribute, &e);
    if (n) {
      const auto value = KDXML::valueOfAttributeNamed(*n, element);
      check(value.has_value() || !platform::isValidUTF8(attribute->value) ||
            KDXML::valueOfAttributeNamed(*n, element, &e) == std::optional<std::string>(""));
    }
  });
  KDXML::valueOfAttributeNamed("id", element, &error);

  if (name) {
    // The element can be found again from its parent, or after a sibling
    // of the same name.
    if (element->parentElement != nullptr) {
      const _KDXMLElement* found = KDXML::childElementNamed(*name, element->parentElement, &error);
      check(found != nullptr);
      while (found != nullptr && found != element) found = KDXML::nextSiblingNamed(*name, found);
      check(found == element);
    }
  }
  int calls = 0;
  KDXML::iterateElementsForQuery(query, element, [&](const _KDXMLElement* e) {
    check(e != nullptr && e->name != nullptr);
    ++calls;
  });
  KDXML::iterateElementsForQuery(std::nullopt, element, [&](const _KDXMLElement*) { ++calls; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::Data bytes(data, data + size);
  std::string_view query = "*.*";
  if (const void* nul = std::memchr(data, 0, size); nul != nullptr) {
    const char* start = static_cast<const char*>(nul) + 1;
    query = std::string_view(start, size - static_cast<std::size_t>(start - reinterpret_cast<const char*>(data)));
  }

  platform::Error error;
  auto document = KDXML::kdxmlWithXMLData(bytes, &error);
  check(document != nullptr);
  check(document->rootXMLElement() != nullptr || error.code <= 1);

  // Every record handed out, chunk by chunk, newest first: all of the full
  // chunks, and the newest one up to the record handed out last.
  int chunks = 0;
  std::int64_t last = document->currentElement();
  for (const xml::_KDXMLElementBuffer* chunk = document->currentElementBuffer(); chunk != nullptr;
       chunk = chunk->previous, ++chunks) {
    check(chunk->previous == nullptr || chunk->previous->next == chunk);
    for (std::int64_t i = 0; i <= last; ++i) {
      const _KDXMLElement* element = &chunk->elements[i];
      check(element->name != nullptr);
      exercise(element, query);
    }
    last = xml::kKDXMLRecordsPerBuffer - 1;
  }
  if (document->rootXMLElement() != nullptr) {
    check(chunks > 0);
    KDXML::iterateElementsForQuery(query, document->rootXMLElement(), [](const _KDXMLElement*) {});
  }

  // The same tree as the model's.
  check(reference::difference(std::string(reinterpret_cast<const char*>(data), size), *document).empty());

  // The string path must build the same tree shape.
  auto fromString = KDXML::kdxmlWithXMLString(std::string_view(reinterpret_cast<const char*>(data), size));
  check((fromString->rootXMLElement() == nullptr) == (document->rootXMLElement() == nullptr));
  return 0;
}
