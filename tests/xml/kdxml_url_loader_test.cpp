// The URL loader against a server on 127.0.0.1 that the test starts.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/RunLoop.h"
#include "platform/WorkQueue.h"
#include "testsupport/LocalHttpServer.h"
#include "xml/KDXML.h"

namespace {

using namespace std::chrono_literals;
using xml::KDXML;

// What the loader reported; filled on the worker thread.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  int successes = 0;
  int failures = 0;
  bool onWorkerThread = false;
  std::shared_ptr<KDXML> document;
  std::optional<platform::Error> error;
  std::string rootName;  // read on the worker thread, when success ran

  KDXML::SuccessBlock success() {
    return [this](std::shared_ptr<KDXML> doc) {
      std::lock_guard lock(mutex);
      ++successes;
      onWorkerThread = platform::isWorkerThread() && !platform::RunLoop::isMainThread();
      if (doc && doc->rootXMLElement() != nullptr) rootName = doc->rootXMLElement()->name;
      document = std::move(doc);
      changed.notify_all();
    };
  }
  KDXML::FailureBlock failure() {
    return [this](std::shared_ptr<KDXML> doc, platform::Error e) {
      std::lock_guard lock(mutex);
      ++failures;
      onWorkerThread = platform::isWorkerThread() && !platform::RunLoop::isMainThread();
      document = std::move(doc);
      error = std::move(e);
      changed.notify_all();
    };
  }
  bool waitForOne() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [this] { return successes + failures > 0; });
  }
};

TEST(KDXMLURLLoader, a_404_page_holding_elements_is_a_document) {
  // The server holds its reply until the test has looked at the empty
  // document, so that nothing reads it while the worker decodes it.
  std::promise<void> looked;
  std::shared_future<void> lookedAt = looked.get_future().share();
  testsupport::LocalHttpServer server([lookedAt](httplib::Server& s) {
    s.Get("/missing", [lookedAt](const httplib::Request&, httplib::Response& response) {
      lookedAt.wait_for(10s);
      response.status = 404;
      response.set_content("<html>\n<head><title>404 Not Found</title></head>\n<body><h1>Not Found</h1></body>\n</html>\n",
                           "text/html");
    });
  });

  Outcome outcome;
  std::shared_ptr<KDXML> document = KDXML::kdxmlWithURL(server.url("/missing"), outcome.success(), outcome.failure());
  ASSERT_TRUE(document);
  EXPECT_EQ(document->rootXMLElement(), nullptr);
  looked.set_value();

  ASSERT_TRUE(outcome.waitForOne());
  std::lock_guard lock(outcome.mutex);
  EXPECT_EQ(outcome.successes, 1);
  EXPECT_EQ(outcome.failures, 0);
  EXPECT_TRUE(outcome.onWorkerThread);
  EXPECT_EQ(outcome.document, document);
  EXPECT_EQ(outcome.rootName, "html");
  const xml::_KDXMLElement* title =
      KDXML::childElementNamed("title", KDXML::childElementNamed("head", document->rootXMLElement()));
  EXPECT_EQ(KDXML::textForElement(title), "404 Not Found");
}

TEST(KDXMLURLLoader, the_request_keeps_the_document_alive_after_the_caller_let_go) {
  std::promise<void> released;
  std::shared_future<void> releasedFuture = released.get_future().share();
  testsupport::LocalHttpServer server([releasedFuture](httplib::Server& s) {
    s.Get("/late", [releasedFuture](const httplib::Request&, httplib::Response& response) {
      releasedFuture.wait_for(10s);
      response.set_content("<late attr='1'>yes</late>", "application/xml");
    });
  });
  Outcome outcome;
  std::weak_ptr<KDXML> watch;
  {
    auto document = KDXML::kdxmlWithURL(server.url("/late"), outcome.success(), outcome.failure());
    watch = document;
  }
  EXPECT_FALSE(watch.expired());
  released.set_value();
  ASSERT_TRUE(outcome.waitForOne());
  std::lock_guard lock(outcome.mutex);
  EXPECT_EQ(outcome.successes, 1);
  ASSERT_TRUE(outcome.document);
  EXPECT_EQ(KDXML::valueOfAttributeNamed("attr", outcome.document->rootXMLElement()), "1");
}

TEST(KDXMLURLLoader, empty_and_elementless_bodies_fail_with_codes_0_and_1) {
  testsupport::LocalHttpServer server([](httplib::Server& s) {
    s.Get("/empty", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    s.Get("/prose", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("just words, no markup", "text/plain");
    });
  });
  for (auto [path, code] : {std::pair<const char*, int>{"/empty", 0}, {"/prose", 1}}) {
    Outcome outcome;
    auto document = KDXML::kdxmlWithURL(server.url(path), outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.waitForOne()) << path;
    std::lock_guard lock(outcome.mutex);
    EXPECT_EQ(outcome.successes, 0) << path;
    EXPECT_EQ(outcome.failures, 1) << path;
    ASSERT_TRUE(outcome.error) << path;
    EXPECT_EQ(outcome.error->domain, xml::kKDXMLErrorDomain) << path;
    EXPECT_EQ(outcome.error->code, code) << path;
    EXPECT_EQ(outcome.document, document) << path;
    EXPECT_TRUE(outcome.onWorkerThread) << path;
  }
}

TEST(KDXMLURLLoader, an_unreachable_server_fails_with_the_platform_error_only) {
  Outcome outcome;
  auto document = KDXML::kdxmlWithURL("http://127.0.0.1:" + std::to_string(testsupport::unusedPort()) + "/x",
                                      outcome.success(), outcome.failure());
  ASSERT_TRUE(outcome.waitForOne());
  std::this_thread::sleep_for(50ms);  // a second callback would show up now
  std::lock_guard lock(outcome.mutex);
  EXPECT_EQ(outcome.successes, 0);
  EXPECT_EQ(outcome.failures, 1);
  ASSERT_TRUE(outcome.error);
  EXPECT_NE(outcome.error->domain, xml::kKDXMLErrorDomain);
  EXPECT_FALSE(outcome.error->localizedDescription().empty());
  EXPECT_EQ(outcome.document, document);
  EXPECT_TRUE(outcome.onWorkerThread);
  EXPECT_EQ(document->rootXMLElement(), nullptr);
}

TEST(KDXMLURLLoader, a_document_no_shared_ptr_owns_sends_nothing) {
  KDXML local;
  Outcome outcome;
  local.initWithURL("http://127.0.0.1:1/never", outcome.success(), outcome.failure());
  std::lock_guard lock(outcome.mutex);
  EXPECT_EQ(outcome.failures, 1);
  EXPECT_EQ(outcome.document, nullptr);
  EXPECT_EQ(outcome.error->code, -1);
}

}  // namespace
