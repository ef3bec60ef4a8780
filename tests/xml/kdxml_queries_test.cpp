// Lookups, walks and errors over parsed documents; loading from the
// application's resources (plain and gzipped) and from 127.0.0.1.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>

#include "codec/Compression.h"
#include "platform/RunLoop.h"
#include "platform/WorkQueue.h"
#include "testsupport/LocalHttpServer.h"
#include "testsupport/TestSupport.h"
#include "xml/KDXML.h"

namespace {

using xml::_KDXMLElement;
using xml::KDXML;
using Seen = std::vector<std::string>;

TEST(KDXMLQueries, strings_lookups_walks_and_their_error_codes) {
  auto doc = KDXML::kdxmlWithXMLString(
      "<a k=\"v\" ns:x='n' =\"odd\" e=\"\" d='' d='2'><b></b><>x</><item n='1'/><ns:i/>"
      "<item n='2'>\xE2\x82</item><n\xC3/>"
      "<u v=\"\xFF\" w='ok'/></a>");
  const _KDXMLElement* a = doc->rootXMLElement();
  const _KDXMLElement* first = KDXML::childElementNamed("item", a);
  const _KDXMLElement* second = KDXML::nextSiblingNamed("item", first);
  const _KDXMLElement* u = a->lastChild;
  xml::_KDXMLAttribute noName{nullptr, nullptr, nullptr};
  auto name = [](const _KDXMLElement* e) { return e == nullptr ? std::nullopt : std::optional(std::string(e->name)); };
  struct Case {
    const char* what;
    std::function<std::optional<std::string>(platform::Error*)> query;
    std::optional<std::string> expected;
    int code;  // -1: left untouched
  };
  const Case cases[] = {
      {"name", [&](auto* e) { return KDXML::elementName(a, e); }, "a", -1},
      {"name of null", [&](auto* e) { return KDXML::elementName(nullptr, e); }, "", 4},
      {"empty name", [&](auto* e) { return KDXML::elementName(a->firstChild->nextSibling, e); }, "", 5},
      {"odd attribute", [&](auto* e) { return KDXML::attributeName(a->firstAttribute->next->next, e); }, "=\"odd\"",
       -1},
      {"no attribute name", [&](auto* e) { return KDXML::attributeName(&noName, e); }, "", 9},
      {"null attribute", [&](auto* e) { return KDXML::attributeValue(nullptr, e); }, "", 8},
      {"null attribute name", [&](auto* e) { return KDXML::attributeName(nullptr, e); }, "", 8},
      {"text of null", [&](auto* e) { return KDXML::textForElement(nullptr, e); }, "", 4},
      {"empty text", [&](auto* e) { return KDXML::textForElement(a->firstChild, e); }, "", 7},
      {"text cleared by children", [&](auto* e) { return KDXML::textForElement(a, e); }, "", 7},
      {"text", [&](auto* e) { return KDXML::textForElement(a->firstChild->nextSibling, e); }, "x", -1},
      {"name not utf-8", [&](auto* e) { return KDXML::elementName(u->previousSibling, e); }, std::nullopt, -1},
      {"text not utf-8", [&](auto* e) { return KDXML::textForElement(second, e); }, std::nullopt, -1},
      {"value not utf-8", [&](auto* e) { return KDXML::attributeValue(u->firstAttribute, e); }, std::nullopt, -1},
      {"named value not utf-8", [&](auto* e) { return KDXML::valueOfAttributeNamed("v", u, e); }, "", 10},
      {"value", [&](auto* e) { return KDXML::valueOfAttributeNamed("k", a, e); }, "v", -1},
      {"prefixed value", [&](auto* e) { return KDXML::valueOfAttributeNamed("ns:x", a, e); }, "n", -1},
      {"first of two decides", [&](auto* e) { return KDXML::valueOfAttributeNamed("d", a, e); }, "", 10},
      {"missing value", [&](auto* e) { return KDXML::valueOfAttributeNamed("K", a, e); }, "", 10},
      {"value, no element", [&](auto* e) { return KDXML::valueOfAttributeNamed(std::nullopt, nullptr, e); }, "", 4},
      {"value, no name", [&](auto* e) { return KDXML::valueOfAttributeNamed(std::nullopt, a, e); }, "", 9},
      {"child", [&](auto* e) { return name(KDXML::childElementNamed("ns:i", a, e)); }, "ns:i", -1},
      {"child, no prefix", [&](auto* e) { return name(KDXML::childElementNamed("i", a, e)); }, std::nullopt, 6},
      {"child prefix", [&](auto* e) { return name(KDXML::childElementNamed("ite", a, e)); }, std::nullopt, 6},
      {"child, no name", [&](auto* e) { return name(KDXML::childElementNamed(std::nullopt, a, e)); }, std::nullopt, 11},
      {"child of null", [&](auto* e) { return name(KDXML::childElementNamed("i", nullptr, e)); }, std::nullopt, 4},
      {"no later sibling", [&](auto* e) { return name(KDXML::nextSiblingNamed("item", second, e)); }, std::nullopt, 6},
      {"sibling of null", [&](auto* e) { return name(KDXML::nextSiblingNamed("i", nullptr, e)); }, std::nullopt, 4},
      {"sibling, no name", [&](auto* e) { return name(KDXML::nextSiblingNamed(std::nullopt, first, e)); }, std::nullopt,
       11},
      // Without an error to fill, what cannot be found is nothing rather than "".
      {"quiet missing", [&](auto*) { return KDXML::valueOfAttributeNamed("K", a); }, std::nullopt, -1},
      {"quiet empty", [&](auto*) { return KDXML::valueOfAttributeNamed("d", a); }, "", -1},
      {"quiet sibling value", [&](auto*) { return KDXML::valueOfAttributeNamed("n", second); }, "2", -1},
  };
  for (const Case& c : cases) {
    platform::Error error;
    error.code = -1;
    EXPECT_EQ(c.query(&error), c.expected) << c.what;
    EXPECT_EQ(error.code, c.code) << c.what;
  }
  Seen seen;
  KDXML::iterateAttributesOfElement(u, [&](auto, auto n, auto v) { seen.push_back(*n + "=" + v.value_or("-")); });
  EXPECT_EQ(seen, (Seen{"v=-", "w=ok"}));
  KDXML::iterateAttributesOfElement(nullptr, [&](auto, auto, auto) { ADD_FAILURE(); });

  // Dotted paths: which elements a query reaches, as "name:text".
  doc = KDXML::kdxmlWithXMLString(
      "<root><a><x>1</x><y>2</y><x>3</x></a><a><x>4</x></a><b><c>5</c><d>6</d><c>7</c></b><e><b>8</b></e>"
      "<><>9</></></root>");
  const _KDXMLElement* root = doc->rootXMLElement();
  std::string stars = "*";
  for (int i = 0; i < 5000; ++i) stars += ".*";
  // clang-format off
  const std::tuple<std::optional<std::string_view>, const _KDXMLElement*, Seen> walks[] = {
      {"a.*", root, {"x:1", "y:2", "x:3"}}, {"a.x", root, {"x:1", "x:3"}}, {"b.c", root, {"c:5", "c:7"}},
      {"b", root, {"b:"}}, {"*.x", root, {"x:1", "x:3", "x:4"}}, {"*.b", root, {"b:8"}},
      {"*.*", root, {"x:1", "y:2", "x:3", "x:4", "c:5", "d:6", "c:7", "b:8", ":9"}}, {".", root, {":9"}},
      {"", root, {":"}}, {"a..x", root, {}}, {"nothing.x", root, {}}, {"a.x.*", root, {}}, {stars, root, {}},
      {"*", root->firstChild, {"x:1", "y:2", "x:3"}}, {"a", nullptr, {}},
      {std::nullopt, root->firstChild->firstChild, {"x:1", "y:2", "x:3"}},  // the start and all that follow it
  };
  // clang-format on
  for (const auto& [query, from, expected] : walks) {
    seen.clear();
    KDXML::iterateElementsForQuery(query, from,
                                   [&](auto* e) { seen.push_back(std::string(e->name) + ":" + (e->text ?: "")); });
    EXPECT_EQ(seen, expected) << query.value_or("-");
  }
  KDXML::iterateElementsForQuery("a", root, nullptr);  // no block: nothing to call
}

TEST(KDXMLLoaders, resources_plain_gzipped_missing_and_broken) {
  testsupport::TempDir resources;
  ::setenv("VLA_RESOURCES_DIR", resources.path().c_str(), 1);
  const char reply[] = "<?xml version=\"1.0\"?>\n<list>\n  <item id='1'>one</item>\n</list>\n";
  resources.write("reply.xml", reply);
  resources.write("reply.xml.gz",
                  std::string(platform::stringView(*KDXML_Compression::gzipDeflate(platform::dataFromString(reply)))));
  resources.write("broken.xml.gz", "this is not gzip");
  resources.write("prose.xml", "<?xml version=\"1.0\"?> no elements here");
  // clang-format off
  for (const auto& [name, extension, code] : {std::tuple{"reply.xml", "", -1}, {"reply", "xml", -1},
           {"reply.xml.gz", "", -1}, {"reply.xml", "gz", -1}, {"missing", "xml.gz", 3}, {"broken.xml.gz", "", 0},
           {"prose", "xml", 1}}) {
    // clang-format on
    platform::Error error;
    error.code = -1;
    auto doc = *extension ? KDXML::kdxmlWithXMLFile(name, extension, &error) : KDXML::kdxmlWithXMLFile(name, &error);
    EXPECT_EQ(error.code, code) << name << extension;
    EXPECT_EQ(error.userInfo[platform::NSFilePathErrorKey], code == 3 ? "missing.xml.gz" : "");
    EXPECT_EQ(KDXML::textForElement(KDXML::childElementNamed("item", doc->rootXMLElement())),
              code < 0 ? "one" : std::optional<std::string>(""))
        << name << extension;
  }
  ::unsetenv("VLA_RESOURCES_DIR");
}

TEST(KDXMLLoaders, url_any_page_with_elements_succeeds_else_one_failure_on_a_worker_with_the_kept_document) {
  std::promise<void> released;  // no reply before every caller dropped its document
  std::shared_future<void> go = released.get_future().share();
  // The server's pages: status and body (none when empty).
  const std::map<std::string, std::pair<int, std::string>> pages = {
      {"/missing", {404, "<html><b>404 Not Found</b></html>"}}, {"/empty", {204, ""}}, {"/prose", {200, "just words"}}};
  testsupport::LocalHttpServer server([go, &pages](httplib::Server& s) {
    for (const auto& entry : pages) {
      s.Get(entry.first, [go, page = entry.second](const httplib::Request&, httplib::Response& response) {
        go.wait_for(std::chrono::seconds(10));
        response.status = page.first;
        if (!page.second.empty()) response.set_content(page.second, "text/html");
      });
    }
  });
  // The code expected: -2 success, -1 a failure outside the reader's domain.
  const std::pair<std::string, int> cases[] = {
      {server.url("/missing"), -2},
      {server.url("/empty"), 0},
      {server.url("/prose"), 1},
      {"http://127.0.0.1:" + std::to_string(testsupport::unusedPort()) + "/x", -1}};
  struct Heard {
    std::shared_ptr<KDXML> document;
    long long code;
    bool onWorker;
  };
  std::promise<Heard> heard[4];  // a second report would throw on the worker
  const KDXML* returned[4];
  for (int i = 0; i < 4; ++i) {
    auto report = [&promise = heard[i]](std::shared_ptr<KDXML> doc, std::optional<platform::Error> e) {
      promise.set_value({std::move(doc),
                         !e                                    ? -2
                         : e->domain == xml::kKDXMLErrorDomain ? e->code
                                                               : -1,
                         platform::isWorkerThread() && !platform::RunLoop::isMainThread()});
    };
    returned[i] = KDXML::kdxmlWithURL(
                      cases[i].first, [report](auto doc) { report(doc, std::nullopt); }, report)
                      .get();
  }
  released.set_value();
  for (int i = 0; i < 4; ++i) {
    auto future = heard[i].get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready) << cases[i].first;
    const Heard h = future.get();
    EXPECT_TRUE(h.onWorker && h.document.get() == returned[i] && h.code == cases[i].second) << cases[i].first;
    const auto* b = KDXML::childElementNamed("b", h.document ? h.document->rootXMLElement() : nullptr);
    EXPECT_EQ(KDXML::textForElement(b), cases[i].second == -2 ? "404 Not Found" : "") << cases[i].first;
  }
}

}  // namespace
