// Strings, lookups, walks and errors over parsed documents.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/KDXML.h"

namespace {

using xml::_KDXMLAttribute;
using xml::_KDXMLElement;
using xml::KDXML;

std::unique_ptr<KDXML> parse(std::string_view text) { return KDXML::kdxmlWithXMLString(text); }

// Which elements a query reaches, as "name:text" (text "" when absent).
std::vector<std::string> walk(std::optional<std::string_view> query, const _KDXMLElement* from) {
  std::vector<std::string> seen;
  KDXML::iterateElementsForQuery(query, from, [&](const _KDXMLElement* e) {
    seen.push_back(std::string(e->name) + ":" + (e->text ? e->text : ""));
  });
  return seen;
}

using Seen = std::vector<std::string>;

TEST(KDXMLQueries, strings_from_records_and_their_error_codes) {
  auto doc = parse("<a k=\"v\" =\"odd\" e=\"\"><b></b><>x</></a>");
  const _KDXMLElement* a = doc->rootXMLElement();
  platform::Error error;

  EXPECT_EQ(KDXML::elementName(a), "a");
  EXPECT_EQ(KDXML::elementName(nullptr), "");
  error = {};
  EXPECT_EQ(KDXML::elementName(nullptr, &error), "");
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(error.localizedDescription(), "Element is nil");
  error = {};
  EXPECT_EQ(KDXML::elementName(a->lastChild, &error), "");  // the element "<>"
  EXPECT_EQ(error.code, 5);

  // A name starts with whatever non-space byte comes first, '=' included.
  EXPECT_EQ(KDXML::attributeName(a->firstAttribute->next), "=\"odd\"");
  EXPECT_EQ(KDXML::attributeValue(a->firstAttribute->next), "");

  // An empty attribute name is no error (the parser never makes one); an
  // absent name is code 9 and an absent attribute code 8.
  char emptyName[] = "";
  char value[] = "v";
  _KDXMLAttribute nameless{emptyName, value, nullptr};
  error = {};
  error.code = -1;
  EXPECT_EQ(KDXML::attributeName(&nameless, &error), "");
  EXPECT_EQ(error.code, -1);
  _KDXMLAttribute noName{nullptr, nullptr, nullptr};
  EXPECT_EQ(KDXML::attributeName(&noName, &error), "");
  EXPECT_EQ(error.code, 9);
  EXPECT_EQ(KDXML::attributeValue(&noName), "");
  EXPECT_EQ(KDXML::attributeName(nullptr, &error), "");
  EXPECT_EQ(error.code, 8);
  error = {};
  EXPECT_EQ(KDXML::attributeValue(nullptr, &error), "");
  EXPECT_EQ(error.code, 8);

  // Text: "" for an absent element or text, code 7 for empty or absent text.
  EXPECT_EQ(KDXML::textForElement(nullptr), "");
  error = {};
  EXPECT_EQ(KDXML::textForElement(nullptr, &error), "");
  EXPECT_EQ(error.code, 4);
  error = {};
  EXPECT_EQ(KDXML::textForElement(a->firstChild, &error), "");  // <b></b>
  EXPECT_EQ(error.code, 7);
  error = {};
  EXPECT_EQ(KDXML::textForElement(a, &error), "");  // cleared by its closed children
  EXPECT_EQ(error.code, 7);
  EXPECT_EQ(KDXML::textForElement(a->lastChild), "x");
}

TEST(KDXMLQueries, bytes_that_are_not_utf8_make_no_string) {
  auto doc = parse("<a\xC3 v=\"\xFF\" w=\"ok\">\xE2\x82</a>");
  const _KDXMLElement* a = doc->rootXMLElement();
  platform::Error error;
  error.code = -1;
  EXPECT_EQ(KDXML::elementName(a, &error), std::nullopt);
  EXPECT_EQ(KDXML::textForElement(a, &error), std::nullopt);
  EXPECT_EQ(KDXML::attributeValue(a->firstAttribute, &error), std::nullopt);
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("v", a), std::nullopt);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("v", a, &error), "");
  EXPECT_EQ(error.code, 10);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("w", a), "ok");
  // Names are compared as bytes, whatever they hold.
  EXPECT_EQ(KDXML::childElementNamed("x", a), nullptr);
}

TEST(KDXMLQueries, attribute_lookup_by_name) {
  auto doc = parse("<a empty=\"\" d=\"\" d=\"second\" x='1'/>");
  const _KDXMLElement* a = doc->rootXMLElement();
  platform::Error error;

  EXPECT_EQ(KDXML::valueOfAttributeNamed("x", a), "1");
  EXPECT_EQ(KDXML::valueOfAttributeNamed("missing", a), std::nullopt);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("X", a), std::nullopt);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("empty", a), "");
  // The first of two same-named attributes decides, even when empty.
  EXPECT_EQ(KDXML::valueOfAttributeNamed("d", a), "");
  EXPECT_EQ(KDXML::valueOfAttributeNamed(std::nullopt, a), std::nullopt);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("x", nullptr), std::nullopt);

  error = {};
  EXPECT_EQ(KDXML::valueOfAttributeNamed("x", a, &error), "1");
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.domain, "");
  EXPECT_EQ(KDXML::valueOfAttributeNamed("empty", a, &error), "");
  EXPECT_EQ(error.code, 10);
  EXPECT_EQ(error.localizedDescription(), "Attribute not found");
  error = {};
  EXPECT_EQ(KDXML::valueOfAttributeNamed("missing", a, &error), "");
  EXPECT_EQ(error.code, 10);
  // The record is checked before the name.
  error = {};
  EXPECT_EQ(KDXML::valueOfAttributeNamed(std::nullopt, nullptr, &error), "");
  EXPECT_EQ(error.code, 4);
  error = {};
  EXPECT_EQ(KDXML::valueOfAttributeNamed(std::nullopt, a, &error), "");
  EXPECT_EQ(error.code, 9);
}

TEST(KDXMLQueries, child_and_sibling_lookups_are_exact_and_never_return_the_start) {
  auto doc = parse("<r><soap:Body/><item n='1'/><other/><item n='2'/><Item/></r>");
  const _KDXMLElement* r = doc->rootXMLElement();
  platform::Error error;

  EXPECT_EQ(KDXML::childElementNamed("Body", r), nullptr);
  EXPECT_EQ(KDXML::childElementNamed("soap:Body", r), r->firstChild);
  const _KDXMLElement* first = KDXML::childElementNamed("item", r);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("n", first), "1");
  const _KDXMLElement* second = KDXML::nextSiblingNamed("item", first);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("n", second), "2");
  EXPECT_EQ(KDXML::nextSiblingNamed("item", second), nullptr);
  EXPECT_EQ(KDXML::childElementNamed("ite", r), nullptr);
  EXPECT_EQ(KDXML::childElementNamed("items", r), nullptr);
  EXPECT_EQ(KDXML::childElementNamed(std::string_view("item\0", 5), r), nullptr);

  EXPECT_EQ(KDXML::childElementNamed("item", nullptr, &error), nullptr);
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(KDXML::childElementNamed(std::nullopt, nullptr, &error), nullptr);
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(KDXML::childElementNamed(std::nullopt, r, &error), nullptr);
  EXPECT_EQ(error.code, 11);
  EXPECT_EQ(error.localizedDescription(), "Parameter name is nil");
  EXPECT_EQ(KDXML::childElementNamed("none", r, &error), nullptr);
  EXPECT_EQ(error.code, 6);
  EXPECT_EQ(KDXML::nextSiblingNamed("item", nullptr, &error), nullptr);
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(KDXML::nextSiblingNamed(std::nullopt, first, &error), nullptr);
  EXPECT_EQ(error.code, 11);
  EXPECT_EQ(KDXML::nextSiblingNamed("item", second, &error), nullptr);
  EXPECT_EQ(error.code, 6);
  EXPECT_EQ(KDXML::nextSiblingNamed(std::nullopt, first), nullptr);
}

TEST(KDXMLQueries, dotted_path_walks) {
  auto doc = parse(
      "<root>"
      "<a><x>1</x><y>2</y><x>3</x></a>"
      "<a><x>4</x></a>"
      "<b><c>5</c><d>6</d><c>7</c></b>"
      "<e><b>8</b></e>"
      "</root>");
  const _KDXMLElement* root = doc->rootXMLElement();

  // "a.*": every child of the first a.
  EXPECT_EQ(walk("a.*", root), (Seen{"x:1", "y:2", "x:3"}));
  // A named last component keeps to siblings of that name.
  EXPECT_EQ(walk("a.x", root), (Seen{"x:1", "x:3"}));
  EXPECT_EQ(walk("b.c", root), (Seen{"c:5", "c:7"}));
  EXPECT_EQ(walk("b", root), (Seen{"b:"}));
  // "*.x" runs "x" from each child in turn; "*.b" likewise.
  EXPECT_EQ(walk("*.x", root), (Seen{"x:1", "x:3", "x:4"}));
  EXPECT_EQ(walk("*.b", root), (Seen{"b:8"}));
  EXPECT_EQ(walk("*.*", root), (Seen{"x:1", "y:2", "x:3", "x:4", "c:5", "d:6", "c:7", "b:8"}));
  EXPECT_EQ(walk("*", root->firstChild), (Seen{"x:1", "y:2", "x:3"}));
  // A missing query has no components: the start and all that follow it.
  EXPECT_EQ(walk(std::nullopt, root->firstChild->firstChild), (Seen{"x:1", "y:2", "x:3"}));
  // An empty query has one empty component, which no name here matches.
  EXPECT_EQ(walk("", root), Seen{});
  EXPECT_EQ(walk("a..x", root), Seen{});
  EXPECT_EQ(walk("nothing.x", root), Seen{});
  EXPECT_EQ(walk("a.x.*", root), Seen{});
  EXPECT_EQ(walk("a", nullptr), Seen{});
  KDXML::iterateElementsForQuery("a", root, nullptr);  // no block: nothing to call
}

TEST(KDXMLQueries, empty_names_are_matched_by_empty_components) {
  auto doc = parse("<r><>1</><>2</><a/></r>");
  EXPECT_EQ(walk("", doc->rootXMLElement()), (Seen{":1", ":2"}));
}

TEST(KDXMLQueries, fan_out_over_a_long_query_keeps_document_order) {
  // A wide, deep tree and a long "*" query: the explicit stack must visit in
  // document order and terminate.
  std::string text = "<r>";
  for (int i = 0; i < 3; ++i) text += "<a><b><c>" + std::to_string(i) + "</c><c>x</c></b><b/></a>";
  text += "</r>";
  auto doc = parse(text);
  EXPECT_EQ(walk("*.*.c", doc->rootXMLElement()), (Seen{"c:0", "c:x", "c:1", "c:x", "c:2", "c:x"}));
  std::string stars = "*";
  for (int i = 0; i < 5000; ++i) stars += ".*";
  EXPECT_EQ(walk(stars, doc->rootXMLElement()), Seen{});
}

TEST(KDXMLQueries, attribute_walk_in_document_order) {
  auto doc = parse("<a one=\"1\" two='2' bad=\"\xFF\"/>");
  std::vector<std::string> seen;
  KDXML::iterateAttributesOfElement(doc->rootXMLElement(), [&](const _KDXMLAttribute* attribute,
                                                               std::optional<std::string> name,
                                                               std::optional<std::string> value) {
    EXPECT_NE(attribute, nullptr);
    seen.push_back(name.value_or("?") + "=" + value.value_or("<not utf-8>"));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"one=1", "two=2", "bad=<not utf-8>"}));
  int calls = 0;
  KDXML::iterateAttributesOfElement(nullptr, [&](auto, auto, auto) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST(KDXMLQueries, error_texts_and_error_objects) {
  const char* messages[] = {"Data is nil",         "Decode failure",        "Unable to allocate memory",
                            "File not found in bundle", "Element is nil", "Element name is nil",
                            "Element not found",   "Element text is nil",   "Attribute is nil",
                            "Attribute name is nil", "Attribute not found", "Parameter name is nil"};
  for (int code = 0; code < 12; ++code) EXPECT_EQ(KDXML::errorTextForCode(code), messages[code]) << code;
  EXPECT_EQ(KDXML::errorTextForCode(12), "No Error Description!");
  EXPECT_EQ(KDXML::errorTextForCode(-1), "No Error Description!");

  platform::Error plain = KDXML::errorWithCode(6);
  EXPECT_EQ(plain.domain, xml::kKDXMLErrorDomain);
  EXPECT_EQ(plain.code, 6);
  EXPECT_EQ(plain.userInfo.size(), 1u);
  EXPECT_EQ(plain.localizedDescription(), "Element not found");

  platform::Error withInfo = KDXML::errorWithCode(
      3, {{platform::NSFilePathErrorKey, "reply.xml"}, {platform::NSLocalizedDescriptionKey, "given"}});
  EXPECT_EQ(withInfo.code, 3);
  EXPECT_EQ(withInfo.userInfo.at(platform::NSFilePathErrorKey), "reply.xml");
  EXPECT_EQ(withInfo.localizedDescription(), "File not found in bundle");
  EXPECT_EQ(withInfo.userInfo.size(), 2u);
}

}  // namespace
