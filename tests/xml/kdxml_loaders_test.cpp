// Loading documents from the application's resources (plain and gzipped)
// and from a URL served on 127.0.0.1.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>

#include "codec/Compression.h"
#include "platform/RunLoop.h"
#include "platform/WorkQueue.h"
#include "testsupport/LocalHttpServer.h"
#include "testsupport/TestSupport.h"
#include "xml/KDXML.h"

namespace {

using namespace std::chrono_literals;
using xml::KDXML;

TEST(KDXMLFileLoader, plain_gzipped_missing_and_broken_resources) {
  testsupport::TempDir resources;
  ::setenv("VLA_RESOURCES_DIR", resources.path().c_str(), 1);
  const char reply[] = "<?xml version=\"1.0\"?>\n<list kind=\"test\">\n  <item id='1'>one</item>\n</list>\n";
  resources.write("reply.xml", reply);
  resources.write("reply.xml.gz", std::string(platform::stringView(
                                      *KDXML_Compression::gzipDeflate(platform::dataFromString(reply)))));
  resources.write("broken.xml.gz", "this is not gzip");
  resources.write("prose.xml", "<?xml version=\"1.0\"?> no elements here");
  struct Case {
    std::string name, extension;
    int code;  // -1: loaded
  };
  for (const auto& [name, extension, code] : {Case{"reply.xml", "", -1}, Case{"reply", "xml", -1},
                                              Case{"reply.xml.gz", "", -1}, Case{"reply.xml", "gz", -1},
                                              Case{"missing", "xml.gz", 3}, Case{"broken.xml.gz", "", 0},
                                              Case{"prose", "xml", 1}}) {
    platform::Error error;
    error.code = -1;
    auto doc = extension.empty() ? KDXML::kdxmlWithXMLFile(name, &error)
                                 : KDXML::kdxmlWithXMLFile(name, extension, &error);
    EXPECT_EQ(error.code, code) << name << extension;
    if (code == 3) {
      EXPECT_EQ(error.userInfo.at(platform::NSFilePathErrorKey), "missing.xml.gz");
    }
    if (code >= 0) {
      EXPECT_EQ(doc->rootXMLElement(), nullptr);
      continue;
    }
    const xml::_KDXMLElement* item = KDXML::childElementNamed("item", doc->rootXMLElement());
    EXPECT_EQ(KDXML::textForElement(item), "one") << name << extension;
    EXPECT_EQ(KDXML::valueOfAttributeNamed("id", item), "1");
  }
  ::unsetenv("VLA_RESOURCES_DIR");
}

// What the loader reported; filled on the worker thread.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  bool succeeded = false;
  bool onWorkerThread = false;
  std::shared_ptr<KDXML> document;
  std::optional<platform::Error> error;
  std::string rootName;

  void record(std::shared_ptr<KDXML> doc, std::optional<platform::Error> e) {
    std::lock_guard lock(mutex);
    ++calls;
    succeeded = !e;
    onWorkerThread = platform::isWorkerThread() && !platform::RunLoop::isMainThread();
    if (doc && doc->rootXMLElement() != nullptr) rootName = doc->rootXMLElement()->name;
    document = std::move(doc);
    error = std::move(e);
    changed.notify_all();
  }
  std::shared_ptr<KDXML> load(const std::string& url) {
    return KDXML::kdxmlWithURL(
        url, [this](std::shared_ptr<KDXML> doc) { record(std::move(doc), std::nullopt); },
        [this](std::shared_ptr<KDXML> doc, platform::Error e) { record(std::move(doc), std::move(e)); });
  }
  bool waitForOne() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [this] { return calls > 0; });
  }
};

TEST(KDXMLURLLoader, any_page_with_elements_succeeds_on_a_worker_and_keeps_the_document_alive) {
  std::promise<void> released;
  std::shared_future<void> go = released.get_future().share();
  testsupport::LocalHttpServer server([go](httplib::Server& s) {
    s.Get("/missing", [go](const httplib::Request&, httplib::Response& response) {
      go.wait_for(10s);
      response.status = 404;
      response.set_content("<html><head><title>404 Not Found</title></head></html>", "text/html");
    });
  });
  Outcome outcome;
  std::weak_ptr<KDXML> watched;
  {
    auto document = outcome.load(server.url("/missing"));
    EXPECT_EQ(document->rootXMLElement(), nullptr);
    watched = document;
  }
  EXPECT_FALSE(watched.expired());
  released.set_value();
  ASSERT_TRUE(outcome.waitForOne());
  std::lock_guard lock(outcome.mutex);
  EXPECT_TRUE(outcome.succeeded);
  EXPECT_TRUE(outcome.onWorkerThread);
  EXPECT_EQ(outcome.rootName, "html");
  EXPECT_EQ(KDXML::textForElement(
                KDXML::childElementNamed("title", KDXML::childElementNamed("head", outcome.document->rootXMLElement()))),
            "404 Not Found");
}

TEST(KDXMLURLLoader, empty_elementless_and_unreachable_fail_once_with_the_document) {
  testsupport::LocalHttpServer server([](httplib::Server& s) {
    s.Get("/empty", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    s.Get("/prose", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("just words, no markup", "text/plain");
    });
  });
  const std::string unreachable = "http://127.0.0.1:" + std::to_string(testsupport::unusedPort()) + "/x";
  for (auto [url, code] : {std::pair{server.url("/empty"), 0}, {server.url("/prose"), 1}, {unreachable, -1}}) {
    Outcome outcome;
    auto document = outcome.load(url);
    ASSERT_TRUE(outcome.waitForOne()) << url;
    std::lock_guard lock(outcome.mutex);
    EXPECT_EQ(outcome.calls, 1) << url;
    ASSERT_TRUE(outcome.error) << url;
    EXPECT_EQ(outcome.error->domain == xml::kKDXMLErrorDomain, code >= 0) << url;
    if (code >= 0) {
      EXPECT_EQ(outcome.error->code, code) << url;
    }
    EXPECT_EQ(outcome.document, document) << url;
    EXPECT_TRUE(outcome.onWorkerThread) << url;
  }
}

}  // namespace
