// Navigation, lookups, walks and the reader's errors. All class-level: they
// read records and never change them.

#include <cstring>
#include <vector>

#include "xml/KDXML.h"

namespace xml {
namespace {

void report(platform::Error* error, std::int32_t code) {
  if (error != nullptr) *error = KDXML::errorWithCode(code);
}

// A string from the record's NUL-terminated bytes; nullopt when they are not
// valid UTF-8.
std::optional<std::string> makeString(const char* bytes) {
  std::string_view view(bytes, std::strlen(bytes));
  if (!platform::isValidUTF8(view)) return std::nullopt;
  return std::string(view);
}

// Same length, same bytes. Reads the record's name only up to its NUL.
bool nameEquals(const char* recordName, std::string_view name) {
  if (recordName == nullptr) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (recordName[i] == '\0' || recordName[i] != name[i]) return false;
  }
  return recordName[name.size()] == '\0';
}

const _KDXMLElement* firstNamed(const _KDXMLElement* element, std::string_view name) {
  for (; element != nullptr; element = element->nextSibling) {
    if (nameEquals(element->name, name)) return element;
  }
  return nullptr;
}

}  // namespace

std::string KDXML::errorTextForCode(std::int32_t code) {
  switch (code) {
    case KDXMLErrorDataIsNil: return "Data is nil";
    case KDXMLErrorDecodeFailure: return "Decode failure";
    case KDXMLErrorOutOfMemory: return "Unable to allocate memory";
    case KDXMLErrorFileNotFound: return "File not found in bundle";
    case KDXMLErrorElementIsNil: return "Element is nil";
    case KDXMLErrorElementNameIsNil: return "Element name is nil";
    case KDXMLErrorElementNotFound: return "Element not found";
    case KDXMLErrorElementTextIsNil: return "Element text is nil";
    case KDXMLErrorAttributeIsNil: return "Attribute is nil";
    case KDXMLErrorAttributeNameIsNil: return "Attribute name is nil";
    case KDXMLErrorAttributeNotFound: return "Attribute not found";
    case KDXMLErrorParameterNameIsNil: return "Parameter name is nil";
    default: return "No Error Description!";
  }
}

platform::Error KDXML::errorWithCode(std::int32_t code) { return errorWithCode(code, {}); }

platform::Error KDXML::errorWithCode(std::int32_t code, const std::map<std::string, std::string>& userInfo) {
  platform::Error error;
  error.domain = kKDXMLErrorDomain;
  error.code = code;
  error.userInfo = userInfo;
  error.userInfo[platform::NSLocalizedDescriptionKey] = errorTextForCode(code);
  return error;
}

std::optional<std::string> KDXML::elementName(const _KDXMLElement* element, platform::Error* error) {
  if (element == nullptr) {
    report(error, KDXMLErrorElementIsNil);
    return std::string();
  }
  if (element->name == nullptr || element->name[0] == '\0') {
    report(error, KDXMLErrorElementNameIsNil);
    return std::string();
  }
  return makeString(element->name);
}

std::optional<std::string> KDXML::attributeName(const _KDXMLAttribute* attribute, platform::Error* error) {
  if (attribute == nullptr) {
    report(error, KDXMLErrorAttributeIsNil);
    return std::string();
  }
  if (attribute->name == nullptr) {
    report(error, KDXMLErrorAttributeNameIsNil);
    return std::string();
  }
  return makeString(attribute->name);
}

std::optional<std::string> KDXML::attributeValue(const _KDXMLAttribute* attribute, platform::Error* error) {
  if (attribute == nullptr) {
    report(error, KDXMLErrorAttributeIsNil);
    return std::string();
  }
  if (attribute->value == nullptr) return std::string();
  return makeString(attribute->value);
}

std::optional<std::string> KDXML::textForElement(const _KDXMLElement* element, platform::Error* error) {
  if (element == nullptr) {
    report(error, KDXMLErrorElementIsNil);
    return std::string();
  }
  if (element->text == nullptr || element->text[0] == '\0') {
    report(error, KDXMLErrorElementTextIsNil);
    return std::string();
  }
  return makeString(element->text);
}

std::optional<std::string> KDXML::valueOfAttributeNamed(std::optional<std::string_view> name,
                                                        const _KDXMLElement* element, platform::Error* error) {
  // The error form answers "" with its code; the plain form answers nothing.
  const auto fail = [error](std::int32_t code) -> std::optional<std::string> {
    if (error == nullptr) return std::nullopt;
    report(error, code);
    return std::string();
  };
  if (element == nullptr) return fail(KDXMLErrorElementIsNil);
  if (!name) return fail(KDXMLErrorAttributeNameIsNil);
  for (const _KDXMLAttribute* attribute = element->firstAttribute; attribute != nullptr; attribute = attribute->next) {
    if (!nameEquals(attribute->name, *name)) continue;
    std::optional<std::string> value =
        attribute->value != nullptr ? makeString(attribute->value) : std::optional<std::string>(std::string());
    if (error != nullptr && (!value || value->empty())) return fail(KDXMLErrorAttributeNotFound);
    return value;
  }
  return fail(KDXMLErrorAttributeNotFound);
}

const _KDXMLElement* KDXML::childElementNamed(std::optional<std::string_view> name, const _KDXMLElement* parentElement,
                                              platform::Error* error) {
  if (parentElement == nullptr) {
    report(error, KDXMLErrorElementIsNil);
    return nullptr;
  }
  if (!name) {
    report(error, KDXMLErrorParameterNameIsNil);
    return nullptr;
  }
  const _KDXMLElement* found = firstNamed(parentElement->firstChild, *name);
  if (found == nullptr) report(error, KDXMLErrorElementNotFound);
  return found;
}

const _KDXMLElement* KDXML::nextSiblingNamed(std::optional<std::string_view> name, const _KDXMLElement* element,
                                             platform::Error* error) {
  if (element == nullptr) {
    report(error, KDXMLErrorElementIsNil);
    return nullptr;
  }
  if (!name) {
    report(error, KDXMLErrorParameterNameIsNil);
    return nullptr;
  }
  const _KDXMLElement* found = firstNamed(element->nextSibling, *name);
  if (found == nullptr) report(error, KDXMLErrorElementNotFound);
  return found;
}

void KDXML::iterateElementsForQuery(std::optional<std::string_view> query, const _KDXMLElement* fromElement,
                                    const ElementBlock& block) {
  if (!block || fromElement == nullptr) return;

  // A missing query has no components; otherwise every '.' splits.
  std::vector<std::string_view> components;
  if (query) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t dot = query->find('.', start);
      components.push_back(query->substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
  }

  // "*" before the last component runs the rest of the query from each child
  // in turn. The pending fan-outs are kept on an explicit stack (a frame is
  // "run components [index..] from element, then from its next sibling"),
  // so a long query cannot exhaust the call stack; the order is that of
  // running them one inside the other.
  struct Frame {
    std::size_t index;
    const _KDXMLElement* element;
  };
  std::vector<Frame> pending;

  // Runs components [index..] from current; returns after the callbacks or
  // after pushing a fan-out.
  const auto run = [&](std::size_t index, const _KDXMLElement* current) {
    for (; index < components.size(); ++index) {
      const std::string_view component = components[index];
      if (component == "*") {
        current = current->firstChild;
        if (index + 1 < components.size()) {
          if (current != nullptr) pending.push_back({index + 1, current});
          return;
        }
      } else {
        current = childElementNamed(component, current);
      }
      if (current == nullptr) return;
    }
    // The element reached and its following siblings; a named last
    // component keeps to siblings of that name.
    const bool anyName = components.empty() || components.back() == "*";
    for (const _KDXMLElement* element = current; element != nullptr; element = element->nextSibling) {
      if (anyName || element == current || nameEquals(element->name, components.back())) block(element);
    }
  };

  run(0, fromElement);
  while (!pending.empty()) {
    Frame& top = pending.back();
    if (top.element == nullptr) {
      pending.pop_back();
      continue;
    }
    const Frame frame = top;
    top.element = top.element->nextSibling;
    run(frame.index, frame.element);
  }
}

void KDXML::iterateAttributesOfElement(const _KDXMLElement* element, const AttributeBlock& block) {
  if (!block || element == nullptr) return;
  for (const _KDXMLAttribute* attribute = element->firstAttribute; attribute != nullptr; attribute = attribute->next) {
    block(attribute, attributeName(attribute), attributeValue(attribute));
  }
}

}  // namespace xml
