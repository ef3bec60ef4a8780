// Differential test against pugixml: on well-formed documents without
// comments, CDATA, entities or mixed content, every element's name, its
// attributes in order and the text of every leaf agree with pugixml's tree.
// The documents are random but the generator's seed is fixed.

#include <gtest/gtest.h>

#include <iostream>
#include <pugixml.hpp>
#include <random>
#include <string>
#include <vector>

#include "xml/KDXML.h"

namespace {

using xml::_KDXMLAttribute;
using xml::_KDXMLElement;
using xml::KDXML;

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : random_(seed) {}

  std::string document() {
    std::string out;
    if (chance(50)) out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + pick({"\n", "\r\n", ""});
    element(out, 0);
    if (chance(50)) out += pick({"\n", "\r\n", "  \n"});
    return out;
  }

 private:
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  bool chance(int percent) { return below(100) < percent; }
  std::string pick(std::initializer_list<const char*> options) {
    return *(options.begin() + below(static_cast<int>(options.size())));
  }

  std::string name() {
    static const std::string first = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
    static const std::string rest = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789.-:";
    std::string out(1, first[below(static_cast<int>(first.size()))]);
    for (int n = below(8); n > 0; --n) {
      if (chance(5)) {
        out += "\xC3\xA9";  // é
      } else {
        out += rest[below(static_cast<int>(rest.size()))];
      }
    }
    return out;
  }

  // Text without '<' or '&'; '>' is allowed in text but not in values,
  // where the reader ends the tag at it.
  std::string chars(int maxLength, bool inValue, char quote) {
    static const char* pieces[] = {"a", "b", "Z", "0", " ", "x y", "\xC3\xB1", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                   "/", "=", "'", "\"", "\t", "\n", ">", "?", "!", "-", ";", "#"};
    std::string out;
    for (int n = below(maxLength + 1); n > 0; --n) {
      std::string piece = pieces[below(sizeof pieces / sizeof pieces[0])];
      if (inValue && (piece == ">" || piece[0] == quote)) continue;
      out += piece;
    }
    return out;
  }

  void element(std::string& out, int depth) {
    const std::string tag = name();
    out += "<" + tag;
    const int attributes = below(4);
    for (int i = 0; i < attributes; ++i) {
      // The element name ends only at a space, '/' or line feed.
      out += i == 0 ? pick({" ", "\n", " \t", "\n\r "}) : pick({" ", "\n", "\t", "\r\n", "  "});
      const char quote = chance(50) ? '"' : '\'';
      out += name() + pick({"=", " = ", "\n=\t", "= "}) + quote + chars(6, true, quote) + quote;
    }
    if (chance(15)) {
      out += pick({"/>", " />", "\n/>"});
      return;
    }
    out += pick({">", " >", "\n>"});
    const int children = depth < 5 && chance(60) ? below(5) : 0;
    if (children == 0) {
      out += chars(10, false, 0);
    } else {
      for (int i = 0; i < children; ++i) {
        out += pick({"", "\n", "\n  ", "\r\n\t"});
        element(out, depth + 1);
      }
      out += pick({"", "\n", " "});
    }
    out += "</" + tag + pick({">", " >", "\n>"});
  }

  std::mt19937 random_;
};

std::string trimmed(const char* text) {
  std::string s(text);
  const auto space = [](char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && space(s[b])) ++b;
  while (e > b && space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

struct Counts {
  int elements = 0;
  int attributes = 0;
  int texts = 0;
};

// Compares the subtrees; reports the first difference with its path.
void compare(const pugi::xml_node& expected, const _KDXMLElement* actual, const std::string& path, Counts& counts) {
  ASSERT_NE(actual, nullptr) << path;
  ++counts.elements;
  const std::string where = path + "/" + expected.name();
  ASSERT_STREQ(actual->name, expected.name()) << where;

  const _KDXMLAttribute* attribute = actual->firstAttribute;
  for (const pugi::xml_attribute& a : expected.attributes()) {
    ASSERT_NE(attribute, nullptr) << where << " misses @" << a.name();
    EXPECT_STREQ(attribute->name, a.name()) << where;
    EXPECT_STREQ(attribute->value, a.value()) << where << "@" << a.name();
    ++counts.attributes;
    attribute = attribute->next;
  }
  EXPECT_EQ(attribute, nullptr) << where << " has extra attributes";

  const _KDXMLElement* child = actual->firstChild;
  bool hasElementChildren = false;
  for (const pugi::xml_node& c : expected.children()) {
    if (c.type() != pugi::node_element) continue;
    hasElementChildren = true;
    compare(c, child, where, counts);
    if (::testing::Test::HasFatalFailure()) return;
    child = child->nextSibling;
  }
  EXPECT_EQ(child, nullptr) << where << " has extra children";

  const std::string text = actual->text != nullptr ? actual->text : "";
  if (hasElementChildren) {
    EXPECT_EQ(text, "") << where;
  } else {
    EXPECT_EQ(text, trimmed(expected.child_value())) << where;
    if (!text.empty()) ++counts.texts;
  }
}

TEST(KDXMLDifferential, random_documents_agree_with_pugixml) {
  Generator generator(20240611u);
  Counts counts;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = generator.document();
    pugi::xml_document reference;
    const pugi::xml_parse_result parsed = reference.load_string(text.c_str(), pugi::parse_minimal);
    ASSERT_TRUE(parsed) << parsed.description() << "\n" << text;

    auto document = KDXML::kdxmlWithXMLString(text);
    compare(reference.document_element(), document->rootXMLElement(), "#" + std::to_string(i), counts);
    if (HasFailure()) {
      ADD_FAILURE() << "document:\n" << text;
      return;
    }
  }
  // The generator must have produced real work for the comparison.
  EXPECT_GT(counts.elements, 10000);
  EXPECT_GT(counts.attributes, 10000);
  EXPECT_GT(counts.texts, 5000);
  std::cout << counts.elements << " elements, " << counts.attributes << " attributes, " << counts.texts
            << " texts compared\n";
}

}  // namespace
