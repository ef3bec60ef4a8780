// Strings, lookups, walks and errors over parsed documents.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "xml/KDXML.h"

namespace {

using xml::_KDXMLAttribute;
using xml::_KDXMLElement;
using xml::KDXML;

std::unique_ptr<KDXML> parse(std::string_view text) { return KDXML::kdxmlWithXMLString(text); }

// Which elements a query reaches, as "name:text".
std::vector<std::string> walk(std::optional<std::string_view> query, const _KDXMLElement* from) {
  std::vector<std::string> seen;
  KDXML::iterateElementsForQuery(query, from, [&](const _KDXMLElement* e) {
    seen.push_back(std::string(e->name) + ":" + (e->text ? e->text : ""));
  });
  return seen;
}

using Seen = std::vector<std::string>;

TEST(KDXMLQueries, soap_reply_walks_down_to_the_trimmed_result) {
  auto doc = parse(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/"
      "soap/envelope/\">\r\n  <soap:Body>\r\n    <SubirFicheroResponse xmlns=\"http://velmora.example/\">\r\n"
      "      <SubirFicheroResult>\r\n\t  Fichero bloqueado  \r\n      </SubirFicheroResult>\r\n"
      "    </SubirFicheroResponse><Other/>\r\n  </soap:Body>\r\n</soap:Envelope>\r\n");
  const _KDXMLElement* body = KDXML::childElementNamed("soap:Body", doc->rootXMLElement());
  EXPECT_EQ(KDXML::childElementNamed("Body", doc->rootXMLElement()), nullptr);
  const _KDXMLElement* result =
      KDXML::childElementNamed("SubirFicheroResult", KDXML::childElementNamed("SubirFicheroResponse", body));
  EXPECT_EQ(KDXML::textForElement(result), "Fichero bloqueado");
  EXPECT_EQ(KDXML::textForElement(KDXML::childElementNamed("Missing", result)), "");
  EXPECT_EQ(KDXML::valueOfAttributeNamed("xmlns:soap", doc->rootXMLElement()),
            "http://schemas.xmlsoap.org/soap/envelope/");
}

TEST(KDXMLQueries, strings_lookups_and_their_error_codes) {
  auto doc = parse("<a k=\"v\" =\"odd\" e=\"\" d='' d='2'><b></b><>x</><item n='1'/><i/><item n='2'/></a>");
  const _KDXMLElement* a = doc->rootXMLElement();
  const _KDXMLElement* first = KDXML::childElementNamed("item", a);
  const _KDXMLElement* second = KDXML::nextSiblingNamed("item", first);
  ASSERT_NE(second, nullptr);
  _KDXMLAttribute noName{nullptr, nullptr, nullptr};
  using Query = std::function<std::optional<std::string>(platform::Error*)>;
  auto element = [](const _KDXMLElement* e) { return e == nullptr ? std::nullopt : std::optional(std::string(e->name)); };
  struct Case {
    const char* what;
    Query query;
    std::optional<std::string> expected;
    int code;  // -1: left untouched, -2: not checked
  };
  const Case cases[] = {
      {"name", [&](auto* e) { return KDXML::elementName(a, e); }, "a", -2},
      {"name of null", [&](auto* e) { return KDXML::elementName(nullptr, e); }, "", 4},
      {"empty name", [&](auto* e) { return KDXML::elementName(a->firstChild->nextSibling, e); }, "", 5},
      {"odd attribute", [&](auto* e) { return KDXML::attributeName(a->firstAttribute->next, e); }, "=\"odd\"", -2},
      {"no attribute name", [&](auto* e) { return KDXML::attributeName(&noName, e); }, "", 9},
      {"null attribute", [&](auto* e) { return KDXML::attributeValue(nullptr, e); }, "", 8},
      {"null attribute name", [&](auto* e) { return KDXML::attributeName(nullptr, e); }, "", 8},
      {"text of null", [&](auto* e) { return KDXML::textForElement(nullptr, e); }, "", 4},
      {"empty text", [&](auto* e) { return KDXML::textForElement(a->firstChild, e); }, "", 7},
      {"text cleared by children", [&](auto* e) { return KDXML::textForElement(a, e); }, "", 7},
      {"text", [&](auto* e) { return KDXML::textForElement(a->firstChild->nextSibling, e); }, "x", -2},
      {"value", [&](auto* e) { return KDXML::valueOfAttributeNamed("k", a, e); }, "v", -2},
      {"first of two decides", [&](auto* e) { return KDXML::valueOfAttributeNamed("d", a, e); }, "", 10},
      {"missing value", [&](auto* e) { return KDXML::valueOfAttributeNamed("K", a, e); }, "", 10},
      {"value, no element", [&](auto* e) { return KDXML::valueOfAttributeNamed(std::nullopt, nullptr, e); }, "", 4},
      {"value, no name", [&](auto* e) { return KDXML::valueOfAttributeNamed(std::nullopt, a, e); }, "", 9},
      {"child", [&](auto* e) { return element(KDXML::childElementNamed("i", a, e)); }, "i", -2},
      {"child prefix", [&](auto* e) { return element(KDXML::childElementNamed("ite", a, e)); }, std::nullopt, 6},
      {"child, no name", [&](auto* e) { return element(KDXML::childElementNamed(std::nullopt, a, e)); }, std::nullopt, 11},
      {"child of null", [&](auto* e) { return element(KDXML::childElementNamed("i", nullptr, e)); }, std::nullopt, 4},
      {"no later sibling", [&](auto* e) { return element(KDXML::nextSiblingNamed("item", second, e)); }, std::nullopt, 6},
      {"sibling of null", [&](auto* e) { return element(KDXML::nextSiblingNamed("i", nullptr, e)); }, std::nullopt, 4},
      {"sibling, no name", [&](auto* e) { return element(KDXML::nextSiblingNamed(std::nullopt, first, e)); }, std::nullopt, 11},
  };
  for (const Case& c : cases) {
    platform::Error error;
    error.code = -1;
    EXPECT_EQ(c.query(&error), c.expected) << c.what;
    if (c.code != -2) {
      EXPECT_EQ(error.code, c.code) << c.what;
    }
  }
  EXPECT_EQ(KDXML::valueOfAttributeNamed("n", second), "2");
  EXPECT_EQ(KDXML::valueOfAttributeNamed("K", a), std::nullopt);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("d", a), "");
  EXPECT_EQ(KDXML::valueOfAttributeNamed(std::nullopt, a), std::nullopt);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("k", nullptr), std::nullopt);
  EXPECT_EQ(KDXML::elementName(nullptr), "");
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
  std::vector<std::string> seen;
  KDXML::iterateAttributesOfElement(a, [&](const _KDXMLAttribute*, std::optional<std::string> name,
                                           std::optional<std::string> value) {
    seen.push_back(name.value_or("?") + "=" + value.value_or("<not utf-8>"));
  });
  EXPECT_EQ(seen, (Seen{"v=<not utf-8>", "w=ok"}));
  KDXML::iterateAttributesOfElement(nullptr, [&](auto, auto, auto) { ADD_FAILURE(); });
}

TEST(KDXMLQueries, dotted_path_walks) {
  auto doc = parse(
      "<root><a><x>1</x><y>2</y><x>3</x></a><a><x>4</x></a><b><c>5</c><d>6</d><c>7</c></b><e><b>8</b></e>"
      "<><>9</></></root>");
  const _KDXMLElement* root = doc->rootXMLElement();
  std::string stars = "*";
  for (int i = 0; i < 5000; ++i) stars += ".*";
  const std::pair<std::optional<std::string_view>, Seen> cases[] = {
      {"a.*", {"x:1", "y:2", "x:3"}},
      {"a.x", {"x:1", "x:3"}},
      {"b.c", {"c:5", "c:7"}},
      {"b", {"b:"}},
      {"*.x", {"x:1", "x:3", "x:4"}},
      {"*.b", {"b:8"}},
      {"*.*", {"x:1", "y:2", "x:3", "x:4", "c:5", "d:6", "c:7", "b:8", ":9"}},
      {".", {":9"}},
      {"", {":"}},
      {"a..x", {}},
      {"nothing.x", {}},
      {"a.x.*", {}},
      {stars, {}},
  };
  for (const auto& [query, expected] : cases) EXPECT_EQ(walk(query, root), expected) << query.value_or("-");
  // Without a query: the start and all that follow it.
  EXPECT_EQ(walk(std::nullopt, root->firstChild->firstChild), (Seen{"x:1", "y:2", "x:3"}));
  EXPECT_EQ(walk("*", root->firstChild), (Seen{"x:1", "y:2", "x:3"}));
  EXPECT_EQ(walk("a", nullptr), Seen{});
  KDXML::iterateElementsForQuery("a", root, nullptr);  // no block: nothing to call
}

TEST(KDXMLQueries, error_texts_and_error_objects) {
  const char* messages[] = {"Data is nil", "Decode failure", "Unable to allocate memory", "File not found in bundle",
                            "Element is nil", "Element name is nil", "Element not found", "Element text is nil",
                            "Attribute is nil", "Attribute name is nil", "Attribute not found",
                            "Parameter name is nil"};
  for (int code = 0; code < 12; ++code) EXPECT_EQ(KDXML::errorTextForCode(code), messages[code]) << code;
  EXPECT_EQ(KDXML::errorTextForCode(12), "No Error Description!");
  EXPECT_EQ(KDXML::errorTextForCode(-1), "No Error Description!");
  platform::Error withInfo = KDXML::errorWithCode(3, {{platform::NSFilePathErrorKey, "reply.xml"}});
  EXPECT_EQ(withInfo.domain, xml::kKDXMLErrorDomain);
  EXPECT_EQ(withInfo.userInfo.at(platform::NSFilePathErrorKey), "reply.xml");
  EXPECT_EQ(withInfo.localizedDescription(), "File not found in bundle");
}

}  // namespace
