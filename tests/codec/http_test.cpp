#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "codec/HTTP.h"
#include "platform/RunLoop.h"
#include "platform/WorkQueue.h"
#include "testsupport/LocalHttpServer.h"

using namespace KDXML_HTTP;
using platform::Data;
using namespace std::chrono_literals;

namespace {

std::string bodyText(const platform::URLRequest& r) { return std::string(platform::stringView(r.httpBody())); }

// What one asynchronous request reported, filled on a worker thread.
struct Outcome {
  std::mutex mutex;
  std::condition_variable cv;
  int successes = 0;
  int failures = 0;
  bool onWorker = false;
  bool onCaller = false;
  std::optional<Data> body;
  std::optional<platform::URLResponse> response;
  std::optional<platform::Error> error;

  void record(std::function<void()> fill) {
    std::lock_guard lock(mutex);
    onWorker = platform::isWorkerThread() && !platform::RunLoop::isMainThread();
    fill();
    cv.notify_all();
  }
  bool waitForOne() {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 10s, [this] { return successes + failures > 0; });
  }
};

void send(const std::string& url, const std::shared_ptr<Outcome>& outcome) {
  auto caller = std::this_thread::get_id();
  kdxmlAsyncRequest(
      std::make_shared<const platform::URLRequest>(kdxmlGetRequestWithURL(url)),
      [outcome, caller](std::optional<Data> body, std::optional<platform::URLResponse> response) {
        outcome->record([&] {
          ++outcome->successes;
          outcome->onCaller = std::this_thread::get_id() == caller;
          outcome->body = std::move(body);
          outcome->response = std::move(response);
        });
      },
      [outcome, caller](std::optional<Data> body, platform::Error error) {
        outcome->record([&] {
          ++outcome->failures;
          outcome->onCaller = std::this_thread::get_id() == caller;
          outcome->body = std::move(body);
          outcome->error = std::move(error);
        });
      });
}

}  // namespace

TEST(RequestBuilders, get_request_sets_only_url_and_method) {
  platform::URLRequest r = kdxmlGetRequestWithURL("http://example.test/a b?c=d");
  EXPECT_EQ(r.url(), "http://example.test/a b?c=d");
  EXPECT_EQ(r.httpMethod(), "GET");
  EXPECT_TRUE(r.httpBody().empty());
  EXPECT_TRUE(r.allHTTPHeaderFields().empty());
  EXPECT_EQ(r.timeoutInterval(), platform::kDefaultTimeoutInterval);
}

TEST(RequestBuilders, post_request_body_and_fields) {
  platform::URLRequest one = kdxmlPostRequestWithURL("http://h/p", {{"a", "1"}});
  EXPECT_EQ(one.url(), "http://h/p");
  EXPECT_EQ(one.httpMethod(), "POST");
  EXPECT_EQ(bodyText(one), "a=1");
  using Fields = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(one.allHTTPHeaderFields(),
            (Fields{{"Content-Type", "application/x-www-form-urlencoded"}, {"Content-Length", "3"}}));

  platform::URLRequest none = kdxmlPostRequestWithURL("http://h/p", {});
  EXPECT_EQ(bodyText(none), "");
  EXPECT_EQ(none.valueForHTTPHeaderField("Content-Length"), "0");

  // Nothing is escaped, so separators inside values multiply.
  platform::URLRequest raw = kdxmlPostRequestWithURL("http://h/p", {{"q", "x y&z=1"}, {"b", "2"}});
  EXPECT_EQ(bodyText(raw), "q=x y&z=1&b=2");
}

TEST(RequestBuilders, characters_outside_ascii_become_one_question_mark_each) {
  platform::URLRequest r = kdxmlPostRequestWithURL("http://h/p", {{"n", "Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80!"}});
  EXPECT_EQ(bodyText(r), "n=Jos? ? ?!");
  EXPECT_EQ(r.valueForHTTPHeaderField("Content-Length"), "11");
  // Broken sequences give one "?" per stray byte.
  platform::URLRequest broken = kdxmlPostRequestWithURL("http://h/p", {{"k", "a\xc3z\x80\xff"}});
  EXPECT_EQ(bodyText(broken), "k=a?z??");
}

TEST(AsyncRequest, error_status_reaches_success_on_a_worker_thread) {
  testsupport::LocalHttpServer server([](httplib::Server& s) {
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<html><p>gone</p></html>", "text/html");
    });
  });
  auto outcome = std::make_shared<Outcome>();
  send(server.url("/missing"), outcome);
  ASSERT_TRUE(outcome->waitForOne());
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->successes, 1);
  EXPECT_EQ(outcome->failures, 0);
  EXPECT_TRUE(outcome->onWorker);
  EXPECT_FALSE(outcome->onCaller);
  ASSERT_TRUE(outcome->response && outcome->body);
  EXPECT_EQ(outcome->response->statusCode, 404);
  EXPECT_EQ(std::string(platform::stringView(*outcome->body)), "<html><p>gone</p></html>");
}

TEST(AsyncRequest, unreachable_server_and_bad_url_reach_failure_on_a_worker_thread) {
  for (std::string url : {"http://127.0.0.1:" + std::to_string(testsupport::unusedPort()) + "/", std::string("::")}) {
    auto outcome = std::make_shared<Outcome>();
    send(url, outcome);
    ASSERT_TRUE(outcome->waitForOne()) << url;
    std::lock_guard lock(outcome->mutex);
    EXPECT_EQ(outcome->failures, 1);
    EXPECT_EQ(outcome->successes, 0);
    EXPECT_TRUE(outcome->onWorker);
    EXPECT_FALSE(outcome->onCaller);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain, "NSURLErrorDomain");
    EXPECT_FALSE(outcome->body);
  }
}

TEST(AsyncRequest, two_requests_in_flight_at_once_both_complete) {
  // The server answers neither until both have arrived, so they must be in
  // flight together.
  std::mutex mutex;
  std::condition_variable cv;
  int arrived = 0;
  testsupport::LocalHttpServer server([&](httplib::Server& s) {
    s.Get(R"(/r(\d))", [&](const httplib::Request& req, httplib::Response& res) {
      std::unique_lock lock(mutex);
      ++arrived;
      cv.notify_all();
      bool together = cv.wait_for(lock, 5s, [&] { return arrived >= 2; });
      res.set_content(std::string(together ? "together " : "alone ") + req.matches[1].str(), "text/plain");
    });
  });
  auto first = std::make_shared<Outcome>();
  auto second = std::make_shared<Outcome>();
  send(server.url("/r1"), first);
  send(server.url("/r2"), second);
  ASSERT_TRUE(first->waitForOne());
  ASSERT_TRUE(second->waitForOne());
  std::lock_guard l1(first->mutex);
  std::lock_guard l2(second->mutex);
  ASSERT_TRUE(first->body && second->body);
  EXPECT_EQ(std::string(platform::stringView(*first->body)), "together 1");
  EXPECT_EQ(std::string(platform::stringView(*second->body)), "together 2");
}

TEST(AsyncRequest, a_null_request_or_missing_callback_does_no_harm) {
  auto outcome = std::make_shared<Outcome>();
  kdxmlAsyncRequest(nullptr, nullptr, [outcome](std::optional<Data>, platform::Error error) {
    outcome->record([&] {
      ++outcome->failures;
      outcome->error = std::move(error);
    });
  });
  ASSERT_TRUE(outcome->waitForOne());
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->error->code, platform::NSURLErrorBadURL);
}
