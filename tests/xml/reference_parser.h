#pragma once
// A plain model of the reader's parsing rules for tests: each rule done the
// obvious way, one byte or one C-string search at a time, without any of the
// parser's shortcuts (tag pre-reading, one-pass CDATA unwrapping, bounded
// searches). Trees from both must be identical for every input, which the
// tests and the fuzz target check with sameTree().

#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "xml/KDXML.h"

namespace reference {

struct Element {
  std::string name;
  std::optional<std::string> text;
  std::vector<std::pair<std::string, std::string>> attributes;
  int parent = -1;
  int firstChild = -1;
  int lastChild = -1;
  int nextSibling = -1;
  int previousSibling = -1;
};

namespace detail {

inline bool space(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
inline bool begins(const char* p, const char* literal) { return std::strncmp(p, literal, std::strlen(literal)) == 0; }

struct Record {
  char* name = nullptr;
  char* text = nullptr;
  std::vector<std::pair<char*, char*>> attributes;
  int parent = -1, firstChild = -1, lastChild = -1, nextSibling = -1, previousSibling = -1;
};

// Every "<![CDATA[" of the value goes with the first "]]>" after it.
inline void removeValueCDATA(char* value) {
  for (;;) {
    char* open = std::strstr(value, "<![CDATA[");
    if (open == nullptr) return;
    std::memmove(open, open + 9, std::strlen(open + 9) + 1);
    char* close = std::strstr(open, "]]>");
    if (close == nullptr) return;
    std::memmove(close, close + 3, std::strlen(close + 3) + 1);
  }
}

}  // namespace detail

// The elements of a document in the order of their start tags.
inline std::vector<Element> parse(const std::string& input) {
  using namespace detail;
  std::vector<char> buffer(input.begin(), input.end());
  buffer.push_back('\0');
  std::vector<Record> records;
  char* cursor = buffer.data();
  int parent = -1;
  for (;;) {
    char* open = std::strchr(cursor, '<');
    if (open == nullptr) break;
    if (begins(open, "<!--")) {
      char* close = std::strstr(open, "-->");
      if (close == nullptr) break;
      cursor = close + 3;
      continue;
    }
    if (begins(open, "<![CDATA[")) {
      char* close = std::strstr(open + 9, "]]>");
      if (close == nullptr) break;
      // N: the first '<' after the section that does not begin another one;
      // the end of the input when there is none.
      char* next = nullptr;
      for (char* from = close + 3;;) {
        char* lt = std::strchr(from, '<');
        if (lt == nullptr) break;
        if (!begins(lt, "<![CDATA[")) {
          next = lt;
          break;
        }
        char* otherClose = std::strstr(lt + 9, "]]>");
        if (otherClose == nullptr) break;
        from = otherClose;
      }
      if (next == nullptr) next = open + std::strlen(open);
      const std::size_t content = static_cast<std::size_t>(close - (open + 9));
      std::memmove(open, open + 9, content);
      std::memmove(open + content, close + 3, static_cast<std::size_t>(next - (close + 3)));
      std::memset(next - 12, ' ', 12);
      cursor = close - 9;
      continue;
    }
    char* tagEnd = open + 1;
    for (;;) {
      tagEnd = std::strpbrk(tagEnd, "<>");
      if (tagEnd == nullptr || *tagEnd == '>' || !begins(tagEnd, "<![CDATA[")) break;
      char* close = std::strstr(tagEnd + 9, "]]>");
      tagEnd = close == nullptr ? nullptr : close + 3;
      if (tagEnd == nullptr) break;
    }
    if (tagEnd == nullptr) break;
    *tagEnd = '\0';
    *open = '\0';
    cursor = tagEnd + 1;
    const char kind = open[1];
    if (kind == '!' || kind == '?') continue;
    if (kind == '/') {
      if (parent < 0) continue;
      if (char* text = records[parent].text; text != nullptr) {
        while (space(*text)) ++text;
        records[parent].text = text;
        for (std::size_t n = std::strlen(text); n > 1 && space(text[n - 1]); --n) text[n - 1] = '\0';
      }
      parent = records[parent].parent;
      if (parent >= 0 && records[parent].firstChild >= 0) records[parent].text = nullptr;
      continue;
    }
    const int index = static_cast<int>(records.size());
    records.emplace_back();
    records[index].name = open + 1;
    const bool selfClosing = tagEnd[-1] == '/';
    if (parent >= 0) {
      Record& p = records[parent];
      if (p.lastChild >= 0) {
        records[p.lastChild].nextSibling = index;
        records[index].previousSibling = p.lastChild;
      } else {
        p.firstChild = index;
      }
      p.lastChild = index;
      records[index].parent = parent;
    }
    char* nameEnd = nullptr;
    for (char* p = open + 1; p < tagEnd; ++p) {
      if (*p == ' ' || *p == '/' || *p == '\n') {
        nameEnd = p;
        break;
      }
    }
    if (nameEnd != nullptr) {
      *nameEnd = '\0';
      int state = 0;
      char* name = nullptr;
      char* value = nullptr;
      char quote = 0;
      for (char* p = nameEnd + 1; p <= tagEnd; ++p) {
        const char c = *p;
        switch (state) {
          case 0:
            if (!space(c)) name = p, state = 1;
            break;
          case 1:
            if (space(c) || c == '=') *p = '\0', state = 2;
            break;
          case 2:
            if (c == '"' || c == '\'') quote = c, value = p + 1, state = 3;
            break;
          case 3:
            if (c == '<' && begins(p, "<![CDATA[")) {
              state = 4;
            } else if (c == quote) {
              *p = '\0';
              removeValueCDATA(value);
              records[index].attributes.emplace_back(name, value);
              state = 0;
            }
            break;
          case 4:
            if (begins(p, "]]>")) state = 3;
            break;
        }
      }
    }
    if (!selfClosing) {
      records[index].text = tagEnd + 1;
      parent = index;
    }
  }

  std::vector<Element> elements;
  for (const Record& r : records) {
    Element e;
    e.name = r.name;
    if (r.text != nullptr) e.text = std::string(r.text);
    for (auto [name, value] : r.attributes) e.attributes.emplace_back(name, value);
    e.parent = r.parent;
    e.firstChild = r.firstChild;
    e.lastChild = r.lastChild;
    e.nextSibling = r.nextSibling;
    e.previousSibling = r.previousSibling;
    elements.push_back(std::move(e));
  }
  return elements;
}

// The records a KDXML document handed out, in order, as Elements; an empty
// string in `why` when their links are consistent with one another.
inline std::vector<Element> records(const xml::KDXML& document, std::string& why) {
  std::vector<const xml::_KDXMLElementBuffer*> chunks;
  for (auto* chunk = document.currentElementBuffer(); chunk != nullptr; chunk = chunk->previous) {
    chunks.insert(chunks.begin(), chunk);
  }
  std::vector<const xml::_KDXMLElement*> all;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const std::int64_t count = c + 1 == chunks.size() ? document.currentElement() + 1 : xml::kKDXMLRecordsPerBuffer;
    for (std::int64_t i = 0; i < count; ++i) all.push_back(&chunks[c]->elements[i]);
  }
  std::unordered_map<const xml::_KDXMLElement*, int> index;
  for (std::size_t i = 0; i < all.size(); ++i) index[all[i]] = static_cast<int>(i);
  const auto at = [&](const xml::_KDXMLElement* e) {
    if (e == nullptr) return -1;
    auto found = index.find(e);
    if (found == index.end()) why = "a link leads outside the records";
    return found == index.end() ? -2 : found->second;
  };
  std::vector<Element> elements;
  for (const xml::_KDXMLElement* r : all) {
    Element e;
    e.name = r->name != nullptr ? r->name : "<null>";
    if (r->text != nullptr) e.text = std::string(r->text);
    for (auto* a = r->firstAttribute; a != nullptr; a = a->next) e.attributes.emplace_back(a->name, a->value);
    e.parent = at(r->parentElement);
    e.firstChild = at(r->firstChild);
    e.lastChild = at(r->lastChild);
    e.nextSibling = at(r->nextSibling);
    e.previousSibling = at(r->previousSibling);
    elements.push_back(std::move(e));
  }
  if (!all.empty() && document.rootXMLElement() != all.front()) why = "the root is not the first record";
  if (all.empty() && document.rootXMLElement() != nullptr) why = "a root without records";
  return elements;
}

// Empty when the document's records match the model's elements; otherwise
// what differs first.
inline std::string difference(const std::vector<Element>& expected, const std::vector<Element>& actual) {
  if (expected.size() != actual.size()) {
    return "element count " + std::to_string(actual.size()) + ", expected " + std::to_string(expected.size());
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Element& x = expected[i];
    const Element& y = actual[i];
    const std::string at = "element " + std::to_string(i) + " ";
    if (x.name != y.name) return at + "name '" + y.name + "', expected '" + x.name + "'";
    if (x.text != y.text) {
      return at + "text '" + y.text.value_or("<null>") + "', expected '" + x.text.value_or("<null>") + "'";
    }
    if (x.attributes != y.attributes) return at + "attributes differ";
    if (x.parent != y.parent || x.firstChild != y.firstChild || x.lastChild != y.lastChild ||
        x.nextSibling != y.nextSibling || x.previousSibling != y.previousSibling) {
      return at + "links differ";
    }
  }
  return {};
}

}  // namespace reference
