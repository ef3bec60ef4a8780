#pragma once
// A plain model of the reader's parsing rules for tests: each rule done the
// obvious way, one byte or one C-string search at a time, without any of the
// parser's shortcuts (tag pre-reading, one-pass CDATA unwrapping, bounded
// searches). Both must describe every input's elements identically, which
// the tests and the fuzz target check with difference().

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "xml/KDXML.h"

namespace reference {

using Lines = std::vector<std::string>;

namespace detail {

inline bool space(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
inline bool begins(const char* p, const char* literal) { return std::strncmp(p, literal, std::strlen(literal)) == 0; }
inline std::string field(const char* s) { return s == nullptr ? "-" : std::to_string(std::strlen(s)) + ":" + s; }

// One element as a line: name, text, attributes, then the indexes of its
// parent, first and last child, next and previous sibling (-1: none).
template <class Attributes>
std::string line(const char* name, const char* text, const Attributes& attributes, std::initializer_list<int> links) {
  std::string out = field(name) + " " + field(text) + " [";
  for (const auto& [n, v] : attributes) out += field(n) + "=" + field(v) + " ";
  out += "]";
  for (int link : links) out += " " + std::to_string(link);
  return out;
}

// Every "<![CDATA[" of the value goes with the first "]]>" after it.
inline void removeValueCDATA(char* value) {
  for (char* open; (open = std::strstr(value, "<![CDATA[")) != nullptr;) {
    std::memmove(open, open + 9, std::strlen(open + 9) + 1);
    char* close = std::strstr(open, "]]>");
    if (close == nullptr) return;
    std::memmove(close, close + 3, std::strlen(close + 3) + 1);
  }
}

}  // namespace detail

// The elements of a document in the order of their start tags.
inline Lines parse(const std::string& input) {
  using namespace detail;
  std::vector<char> buffer(input.begin(), input.end());
  buffer.push_back('\0');
  struct Record {
    char* name = nullptr;
    char* text = nullptr;
    std::vector<std::pair<char*, char*>> attributes;
    int parent = -1, firstChild = -1, lastChild = -1, nextSibling = -1, previousSibling = -1;
  };
  std::vector<Record> records;
  int parent = -1;
  for (char* cursor = buffer.data();;) {
    char* open = std::strchr(cursor, '<');
    if (open == nullptr) break;
    if (begins(open, "<!--")) {
      char* close = std::strstr(open, "-->");
      if (close == nullptr) break;
      cursor = close + 3;
      continue;
    }
    if (begins(open, "<![CDATA[")) {
      // Unwrapped in place: the content, then what follows up to the first
      // '<' that does not begin another section (or the end), moves up; 12
      // spaces fill the gap left before that '<'.
      char* close = std::strstr(open + 9, "]]>");
      if (close == nullptr) break;
      char* next = std::strchr(close + 3, '<');
      while (next != nullptr && begins(next, "<![CDATA[")) {
        char* otherClose = std::strstr(next + 9, "]]>");
        next = otherClose == nullptr ? nullptr : std::strchr(otherClose, '<');
      }
      if (next == nullptr) next = open + std::strlen(open);
      const std::size_t content = static_cast<std::size_t>(close - (open + 9));
      std::memmove(open, open + 9, content);
      std::memmove(open + content, close + 3, static_cast<std::size_t>(next - (close + 3)));
      std::memset(next - 12, ' ', 12);
      cursor = close - 9;
      continue;
    }
    // The tag ends at the first '<' or '>' outside CDATA sections.
    char* tagEnd = std::strpbrk(open + 1, "<>");
    while (tagEnd != nullptr && begins(tagEnd, "<![CDATA[")) {
      char* close = std::strstr(tagEnd + 9, "]]>");
      tagEnd = close == nullptr ? nullptr : std::strpbrk(close + 3, "<>");
    }
    if (tagEnd == nullptr) break;
    *tagEnd = *open = '\0';
    cursor = tagEnd + 1;
    if (open[1] == '!' || open[1] == '?') continue;
    if (open[1] == '/') {  // closes the open element, whatever its name
      if (parent < 0) continue;
      if (char*& text = records[parent].text; text != nullptr) {
        while (space(*text)) ++text;
        for (std::size_t n = std::strlen(text); n > 1 && space(text[n - 1]); --n) text[n - 1] = '\0';
      }
      parent = records[parent].parent;
      if (parent >= 0 && records[parent].firstChild >= 0) records[parent].text = nullptr;
      continue;
    }
    const int index = static_cast<int>(records.size());
    Record& r = records.emplace_back(Record{open + 1, nullptr, {}, parent});
    const bool selfClosing = tagEnd[-1] == '/';
    if (parent >= 0) {
      Record& p = records[parent];
      (p.lastChild >= 0 ? records[p.lastChild].nextSibling : p.firstChild) = index;
      r.previousSibling = p.lastChild;
      p.lastChild = index;
    }
    char* nameEnd = open + 1;
    while (nameEnd < tagEnd && *nameEnd != ' ' && *nameEnd != '/' && *nameEnd != '\n') ++nameEnd;
    if (nameEnd < tagEnd) {
      *nameEnd = '\0';
      // 0: before a name, 1: in it, 2: before the value, 3: in it, 4: in its CDATA section.
      int state = 0;
      char *name = nullptr, *value = nullptr, quote = 0;
      for (char* p = nameEnd + 1; p <= tagEnd; ++p) {
        const char c = *p;
        if (state == 0 && !space(c)) name = p, state = 1;
        else if (state == 1 && (space(c) || c == '=')) *p = '\0', state = 2;
        else if (state == 2 && (c == '"' || c == '\'')) quote = c, value = p + 1, state = 3;
        else if (state == 4 && begins(p, "]]>")) state = 3;
        else if (state == 3 && begins(p, "<![CDATA[")) state = 4;
        else if (state == 3 && c == quote) {
          *p = '\0';
          removeValueCDATA(value);
          r.attributes.emplace_back(name, value);
          state = 0;
        }
      }
    }
    if (!selfClosing) r.text = tagEnd + 1, parent = index;
  }
  Lines lines;
  for (const Record& r : records) {
    lines.push_back(
        line(r.name, r.text, r.attributes, {r.parent, r.firstChild, r.lastChild, r.nextSibling, r.previousSibling}));
  }
  return lines;
}

// The records a document handed out, in order, described the same way; a
// link outside them is -2, and a misplaced root adds a line.
inline Lines records(const xml::KDXML& document) {
  std::vector<const xml::_KDXMLElement*> all;  // all of the older chunks, and the newest up to the last record
  std::int64_t count = document.currentElement() + 1;
  for (auto* chunk = document.currentElementBuffer(); chunk != nullptr; chunk = chunk->previous) {
    while (count > 0) all.push_back(&chunk->elements[--count]);
    count = xml::kKDXMLRecordsPerBuffer;
  }
  std::reverse(all.begin(), all.end());
  std::unordered_map<const xml::_KDXMLElement*, int> index;
  for (std::size_t i = 0; i < all.size(); ++i) index[all[i]] = static_cast<int>(i);
  const auto at = [&](const xml::_KDXMLElement* e) { return e == nullptr ? -1 : index.contains(e) ? index.at(e) : -2; };
  Lines lines;
  for (const xml::_KDXMLElement* r : all) {
    std::vector<std::pair<const char*, const char*>> attributes;
    for (auto* a = r->firstAttribute; a != nullptr; a = a->next) attributes.emplace_back(a->name, a->value);
    lines.push_back(detail::line(
        r->name, r->text, attributes,
        {at(r->parentElement), at(r->firstChild), at(r->lastChild), at(r->nextSibling), at(r->previousSibling)}));
  }
  if (document.rootXMLElement() != (all.empty() ? nullptr : all.front())) lines.push_back("misplaced root");
  return lines;
}

// Empty when the document's records match the model's elements for input;
// otherwise the first that differs.
inline std::string difference(const std::string& input, const xml::KDXML& document) {
  const Lines expected = parse(input), actual = records(document);
  for (std::size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
    const std::string x = i < expected.size() ? expected[i] : "nothing", y = i < actual.size() ? actual[i] : "nothing";
    if (x != y) return "element " + std::to_string(i) + ": " + y + ", expected " + x;
  }
  return {};
}

}  // namespace reference
