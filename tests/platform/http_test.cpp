#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Application.h"
#include "platform/Http.h"
#include "platform/RunLoop.h"
#include "platform/WorkQueue.h"
#include "testsupport/LocalHttpServer.h"
#include "testsupport/TestSupport.h"

using namespace platform;
using testsupport::LocalHttpServer;
using namespace std::chrono_literals;

namespace {

std::string text(const Data& d) { return std::string(stringView(d)); }

std::string refusedURL() { return "http://127.0.0.1:" + std::to_string(testsupport::unusedPort()) + "/x"; }

// A test's gate that server handlers wait at (never longer than a bound).
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  void wait() {
    std::unique_lock lock(mutex);
    cv.wait_for(lock, 5s, [this] { return open; });
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
};

void routes(httplib::Server& s) {
  s.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("X-Test", "1");
    res.set_content("hi", "text/plain");
  });
  s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("nope", "text/plain");
  });
  s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("trouble", "text/plain");
  });
  s.Get("/old", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/hello"); });
  s.Get("/big", [](const httplib::Request&, httplib::Response& res) {
    std::string body(1 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    res.set_content(body, "application/octet-stream");
  });
  s.Get("/empty", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  auto echo = [](const httplib::Request& req, httplib::Response& res) {
    std::string seen = req.method + "|" + req.body + "|" + req.get_header_value("Content-Length") + "|" +
                       req.get_header_value("X-One") + "|" + req.get_header_value("Content-Type") + "|" +
                       (req.has_header("Expect") ? "expect" : "");
    res.set_content(seen, "text/plain");
  };
  s.Post("/echo", echo);
  s.Put("/echo", echo);
  s.Delete("/echo", echo);
}

// What a connection's delegate was told; it outlives the delegate.
struct Log {
  std::vector<std::string> events;
  Data body;
  std::optional<URLResponse> response;
  std::optional<Error> error;
  bool allOnMainThread = true;
  bool done = false;
};

class Recorder : public URLConnectionDelegate {
 public:
  std::shared_ptr<Log> log = std::make_shared<Log>();

  void connection(URLConnection&, const URLResponse& r) override {
    note("response");
    log->response = r;
  }
  void connection(URLConnection&, const Data& piece) override {
    note("piece");
    log->body.insert(log->body.end(), piece.begin(), piece.end());
  }
  void connectionDidFinishLoading(URLConnection&) override {
    note("finish");
    log->done = true;
  }
  void connection(URLConnection&, const Error& e) override {
    note("error");
    log->error = e;
    log->done = true;
  }

 private:
  void note(const std::string& event) {
    log->allOnMainThread = log->allOnMainThread && RunLoop::isMainThread();
    log->events.push_back(event);
  }
};

}  // namespace

TEST(HttpRequest, header_fields_keep_their_first_position_and_set_replaces) {
  URLRequest r("http://h/");
  r.setValue("1", "A");
  r.setValue("2", "b");
  r.setValue("3", "a");
  r.addValue("4", "B");
  ASSERT_EQ(r.allHTTPHeaderFields().size(), 2u);
  EXPECT_EQ(r.allHTTPHeaderFields()[0], (std::pair<std::string, std::string>("A", "3")));
  EXPECT_EQ(r.allHTTPHeaderFields()[1], (std::pair<std::string, std::string>("b", "2,4")));
  EXPECT_EQ(r.httpMethod(), "GET");
  EXPECT_EQ(r.timeoutInterval(), kDefaultTimeoutInterval);
}

TEST(SynchronousSend, body_status_and_headers_whatever_the_status) {
  LocalHttpServer server(routes);
  SendResult ok = sendSynchronousRequest(URLRequest(server.url("/hello")));
  ASSERT_FALSE(ok.error) << ok.error->description();
  ASSERT_TRUE(ok.body && ok.response);
  EXPECT_EQ(text(*ok.body), "hi");
  EXPECT_EQ(ok.response->statusCode, 200);
  EXPECT_EQ(ok.response->valueForHTTPHeaderField("x-test"), "1");
  EXPECT_EQ(ok.response->url, server.url("/hello"));

  for (auto [path, status, body] : {std::tuple{"/missing", 404, "nope"}, std::tuple{"/broken", 500, "trouble"}}) {
    SendResult r = sendSynchronousRequest(URLRequest(server.url(path)));
    EXPECT_FALSE(r.error);
    ASSERT_TRUE(r.body && r.response);
    EXPECT_EQ(text(*r.body), body);
    EXPECT_EQ(r.response->statusCode, status);
  }

  SendResult none = sendSynchronousRequest(URLRequest(server.url("/empty")));
  ASSERT_TRUE(none.body && none.response);
  EXPECT_TRUE(none.body->empty());
  EXPECT_EQ(none.response->statusCode, 204);
}

TEST(SynchronousSend, method_headers_and_body_reach_the_server) {
  LocalHttpServer server(routes);
  URLRequest post(server.url("/echo"));
  post.setHTTPMethod("POST");
  post.setValue("1", "X-One");
  post.setValue("text/xml; charset=utf-8", "Content-Type");
  post.setValue("999", "Content-Length");  // the length sent is the body's own
  post.setHTTPBody(dataFromString("a=1&b=2"));
  SendResult r = sendSynchronousRequest(post);
  ASSERT_TRUE(r.body);
  EXPECT_EQ(text(*r.body), "POST|a=1&b=2|7|1|text/xml; charset=utf-8|");

  URLRequest put(server.url("/echo"));
  put.setHTTPMethod("PUT");
  put.setValue("application/octet-stream", "Content-Type");
  put.setHTTPBody(Data(100000, 'x'));  // large enough for libcurl to consider "Expect"
  r = sendSynchronousRequest(put);
  ASSERT_TRUE(r.body);
  ASSERT_TRUE(r.response);
  EXPECT_EQ(r.response->statusCode, 200);
  EXPECT_TRUE(text(*r.body) == "PUT|" + std::string(100000, 'x') + "|100000||application/octet-stream|")
      << text(*r.body).substr(0, 20) << "... (" << r.body->size() << " bytes)";

  URLRequest del(server.url("/echo"));
  del.setHTTPMethod("DELETE");
  r = sendSynchronousRequest(del);
  ASSERT_TRUE(r.body);
  EXPECT_EQ(text(*r.body).substr(0, 8), "DELETE||");
}

TEST(SynchronousSend, follows_redirects_and_reports_the_final_address) {
  LocalHttpServer server(routes);
  SendResult r = sendSynchronousRequest(URLRequest(server.url("/old")));
  ASSERT_TRUE(r.body && r.response);
  EXPECT_EQ(text(*r.body), "hi");
  EXPECT_EQ(r.response->statusCode, 200);
  EXPECT_EQ(r.response->url, server.url("/hello"));
  EXPECT_EQ(r.response->valueForHTTPHeaderField("X-Test"), "1");  // the final reply's fields only
  EXPECT_FALSE(r.response->valueForHTTPHeaderField("Location"));
}

TEST(SynchronousSend, transport_failures_are_coded_errors_without_a_body) {
  struct Case {
    std::string url;
    long long code;
  };
  for (const Case& c : {Case{refusedURL(), NSURLErrorCannotConnectToHost}, Case{"", NSURLErrorBadURL},
                        Case{"not a url", NSURLErrorBadURL}, Case{"ftp://127.0.0.1/x", NSURLErrorUnsupportedURL},
                        Case{"file:///etc/passwd", NSURLErrorUnsupportedURL}}) {
    SendResult r = sendSynchronousRequest(URLRequest(c.url));
    ASSERT_TRUE(r.error) << c.url;
    EXPECT_EQ(r.error->domain, "NSURLErrorDomain");
    EXPECT_EQ(r.error->code, c.code) << c.url << ": " << r.error->description();
    EXPECT_FALSE(r.error->localizedDescription().empty());
    EXPECT_EQ(r.error->userInfo.at(NSURLErrorFailingURLStringErrorKey), c.url);
    EXPECT_FALSE(r.body);
  }
}

TEST(SynchronousSend, a_server_that_stays_silent_times_out) {
  Gate gate;
  LocalHttpServer server([&](httplib::Server& s) {
    s.Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
      gate.wait();
      res.set_content("late", "text/plain");
    });
  });
  URLRequest request(server.url("/slow"));
  request.setTimeoutInterval(1);
  SendResult r = sendSynchronousRequest(request);
  gate.release();
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, NSURLErrorTimedOut);
}

TEST(DataWithContentsOfURL, body_whatever_the_status_and_nothing_on_failure) {
  LocalHttpServer server(routes);
  EXPECT_EQ(dataWithContentsOfURL(server.url("/hello")), dataFromString("hi"));
  EXPECT_EQ(dataWithContentsOfURL(server.url("/broken")), dataFromString("trouble"));
  EXPECT_FALSE(dataWithContentsOfURL(refusedURL()));
  EXPECT_FALSE(dataWithContentsOfURL("no url at all"));
}

TEST(URLConnection, callbacks_arrive_on_the_main_thread_in_order_and_then_let_go) {
  LocalHttpServer server(routes);
  auto recorder = std::make_shared<Recorder>();
  std::weak_ptr<Recorder> watch = recorder;
  auto connection = URLConnection::start(URLRequest(server.url("/big")), recorder);
  ASSERT_TRUE(connection);
  EXPECT_GE(Application::sharedApplication().activeCount(), 1);
  std::shared_ptr<Log> r = recorder->log;
  recorder.reset();  // the connection keeps its delegate alive

  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return r->done; }));
  EXPECT_TRUE(r->allOnMainThread);
  ASSERT_GE(r->events.size(), 3u);
  EXPECT_EQ(r->events.front(), "response");
  EXPECT_EQ(r->events.back(), "finish");
  for (std::size_t i = 1; i + 1 < r->events.size(); ++i) EXPECT_EQ(r->events[i], "piece");
  EXPECT_EQ(r->response->statusCode, 200);
  ASSERT_EQ(r->body.size(), 1u << 20);
  EXPECT_EQ(r->body[27], 'b');

  // With its last callback the connection lets go of the delegate and of the
  // application.
  EXPECT_TRUE(testsupport::runMainLoopUntil([&] { return Application::sharedApplication().activeCount() == 0; }));
  EXPECT_TRUE(watch.expired());
}

TEST(URLConnection, error_status_is_a_reply_and_refusal_is_an_error) {
  LocalHttpServer server(routes);
  auto missingDelegate = std::make_shared<Recorder>();
  auto refusedDelegate = std::make_shared<Recorder>();
  std::shared_ptr<Log> missing = missingDelegate->log;
  std::shared_ptr<Log> refused = refusedDelegate->log;
  ASSERT_TRUE(URLConnection::start(URLRequest(server.url("/missing")), missingDelegate));
  ASSERT_TRUE(URLConnection::start(URLRequest(refusedURL()), refusedDelegate));
  ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return missing->done && refused->done; }));

  EXPECT_EQ(missing->events, (std::vector<std::string>{"response", "piece", "finish"}));
  EXPECT_EQ(missing->response->statusCode, 404);
  EXPECT_EQ(text(missing->body), "nope");

  EXPECT_EQ(refused->events, (std::vector<std::string>{"error"}));
  EXPECT_TRUE(refused->allOnMainThread);
  EXPECT_EQ(refused->error->domain, "NSURLErrorDomain");
  EXPECT_EQ(refused->error->code, NSURLErrorCannotConnectToHost);
}

TEST(URLConnection, no_connection_without_a_usable_url) {
  auto recorder = std::make_shared<Recorder>();
  for (const char* url : {"", "nonsense", "ftp://127.0.0.1/x"}) {
    EXPECT_FALSE(URLConnection::start(URLRequest(url), recorder)) << url;
  }
  EXPECT_EQ(Application::sharedApplication().activeCount(), 0);
}

TEST(URLConnection, cancel_stops_the_callbacks_and_lets_go) {
  Gate gate;
  LocalHttpServer server([&](httplib::Server& s) {
    s.Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
      gate.wait();
      res.set_content("late", "text/plain");
    });
  });
  auto recorder = std::make_shared<Recorder>();
  std::weak_ptr<Recorder> watch = recorder;
  std::shared_ptr<Log> log = recorder->log;
  auto connection = URLConnection::start(URLRequest(server.url("/slow")), std::move(recorder));
  ASSERT_TRUE(connection);
  connection->cancel();
  EXPECT_TRUE(watch.expired());  // the delegate is let go at once
  EXPECT_TRUE(testsupport::runMainLoopUntil([&] { return Application::sharedApplication().activeCount() == 0; }));
  gate.release();
  EXPECT_TRUE(log->events.empty());
}

TEST(WorkQueue, blocking_items_do_not_hold_each_other_up) {
  // Each item waits until all of them run at once, as blocking requests in
  // flight together do.
  constexpr int kItems = 12;
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    int started = 0;
    int sawAll = 0;
    int onWorkers = 0;
  };
  auto shared = std::make_shared<Shared>();
  for (int i = 0; i < kItems; ++i) {
    globalQueue().async([shared] {
      std::unique_lock lock(shared->mutex);
      ++shared->started;
      shared->onWorkers += isWorkerThread() && !RunLoop::isMainThread();
      shared->cv.notify_all();
      if (shared->cv.wait_for(lock, 5s, [&] { return shared->started == kItems; })) ++shared->sawAll;
      shared->cv.notify_all();
    });
  }
  std::unique_lock lock(shared->mutex);
  ASSERT_TRUE(shared->cv.wait_for(lock, 10s, [&] { return shared->sawAll == kItems; }));
  EXPECT_EQ(shared->onWorkers, kItems);
  EXPECT_FALSE(isWorkerThread());
}
