// Request builders and the background send with its two callbacks.
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

using Fields = std::vector<std::pair<std::string, std::string>>;

// What one asynchronous request reported, filled on a worker thread.
struct Outcome : std::enable_shared_from_this<Outcome> {
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  bool succeeded = false;
  bool onOtherWorker = false;
  std::optional<Data> body;
  std::optional<int> status;
  std::optional<platform::Error> error;

  void record(std::thread::id caller, std::optional<Data> b, std::optional<int> s, std::optional<platform::Error> e) {
    std::lock_guard lock(mutex);
    ++calls;
    succeeded = !e;
    onOtherWorker = platform::isWorkerThread() && !platform::RunLoop::isMainThread() &&
                    std::this_thread::get_id() != caller;
    body = std::move(b);
    status = s;
    error = std::move(e);
    cv.notify_all();
  }
  void send(std::shared_ptr<const platform::URLRequest> request) {
    auto caller = std::this_thread::get_id();
    auto self = shared_from_this();  // the callbacks may outlive the test's wait
    kdxmlAsyncRequest(
        std::move(request),
        [self, caller](std::optional<Data> b, std::optional<platform::URLResponse> r) {
          self->record(caller, std::move(b), r ? std::optional(r->statusCode) : std::nullopt, std::nullopt);
        },
        [self, caller](std::optional<Data> b, platform::Error e) { self->record(caller, std::move(b), {}, std::move(e)); });
  }
  bool waitForOne() {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 10s, [this] { return calls > 0; });
  }
};

}  // namespace

TEST(RequestBuilders, get_and_form_post_requests) {
  platform::URLRequest get = kdxmlGetRequestWithURL("http://example.test/a b?c=d");
  EXPECT_EQ(get.url(), "http://example.test/a b?c=d");
  EXPECT_EQ(get.httpMethod(), "GET");
  EXPECT_TRUE(get.httpBody().empty());
  EXPECT_TRUE(get.allHTTPHeaderFields().empty());
  EXPECT_EQ(get.timeoutInterval(), platform::kDefaultTimeoutInterval);

  struct Case {
    Fields parameters;
    std::string body;
  };
  for (const auto& [parameters, body] : {
           Case{{{"a", "1"}}, "a=1"},
           Case{{}, ""},
           Case{{{"q", "x y&z=1"}, {"b", "2"}}, "q=x y&z=1&b=2"},  // nothing is escaped
           Case{{{"n", "Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80!"}}, "n=Jos? ? ?!"},  // one '?' a character
           Case{{{"k", "a\xc3z\x80\xff"}}, "k=a?z??"},  // and one a stray byte
       }) {
    platform::URLRequest post = kdxmlPostRequestWithURL("http://h/p", parameters);
    EXPECT_EQ(post.url(), "http://h/p");
    EXPECT_EQ(post.httpMethod(), "POST");
    EXPECT_EQ(std::string(platform::stringView(post.httpBody())), body);
    EXPECT_EQ(post.allHTTPHeaderFields(), (Fields{{"Content-Type", "application/x-www-form-urlencoded"},
                                                  {"Content-Length", std::to_string(body.size())}}));
  }
}

TEST(AsyncRequest, exactly_one_callback_on_a_worker_success_even_for_error_statuses) {
  testsupport::LocalHttpServer server([](httplib::Server& s) {
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<html><p>gone</p></html>", "text/html");
    });
  });
  struct Case {
    std::string url;
    bool succeeds;
  };
  for (const auto& [url, succeeds] :
       {Case{server.url("/missing"), true},
        Case{"http://127.0.0.1:" + std::to_string(testsupport::unusedPort()) + "/", false}, Case{"::", false}}) {
    auto shared = std::make_shared<Outcome>();
    Outcome& outcome = *shared;
    outcome.send(std::make_shared<const platform::URLRequest>(kdxmlGetRequestWithURL(url)));
    ASSERT_TRUE(outcome.waitForOne()) << url;
    std::lock_guard lock(outcome.mutex);
    EXPECT_EQ(outcome.calls, 1) << url;
    EXPECT_EQ(outcome.succeeded, succeeds) << url;
    EXPECT_TRUE(outcome.onOtherWorker) << url;
    if (succeeds) {
      EXPECT_EQ(outcome.status, 404);
      ASSERT_TRUE(outcome.body);
      EXPECT_EQ(std::string(platform::stringView(*outcome.body)), "<html><p>gone</p></html>");
    } else {
      EXPECT_EQ(outcome.error->domain, "NSURLErrorDomain") << url;
      EXPECT_FALSE(outcome.body) << url;
    }
  }
  auto shared = std::make_shared<Outcome>();
  Outcome& none = *shared;
  none.send(nullptr);
  ASSERT_TRUE(none.waitForOne());
  std::lock_guard lock(none.mutex);
  EXPECT_EQ(none.error->code, platform::NSURLErrorBadURL);
}
