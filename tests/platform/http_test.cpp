// The HTTP transport against a local server: replies, transport failures and
// the limits a transfer policy sets (the asynchronous connection is driven by
// the application's flow tests).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Http.h"
#include "testsupport/LocalHttpServer.h"
#include "testsupport/TestSupport.h"

using namespace platform;
using testsupport::LocalHttpServer;
using namespace std::chrono_literals;

namespace {

std::string text(const Data& d) { return std::string(stringView(d)); }
std::string refusedURL() { return "http://127.0.0.1:" + std::to_string(testsupport::unusedPort()) + "/x"; }

struct Server {
  std::atomic<bool> done{false};
  std::atomic<int> elsewhereHits{0};
  LocalHttpServer elsewhere{[this](httplib::Server& s) {
    s.Post("/x", [this](const httplib::Request&, httplib::Response& res) {
      ++elsewhereHits;
      res.set_content("ok", "text/plain");
    });
  }};
  LocalHttpServer local{[this](httplib::Server& s) {
    auto reply = [](int status, std::string body, const char* header = nullptr, std::string value = {}) {
      return [=](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        if (header) res.set_header(header, value);
        res.set_content(body, "text/plain");
      };
    };
    s.Get("/old", reply(302, "", "Location", "/hello"));
    s.Get("/hello", reply(200, "hi", "X-Test", "1"));
    s.Post("/big", reply(200, std::string(5000, 'b')));
    s.Post("/gzip", reply(200, "not really gzip", "Content-Encoding", "gzip"));
    s.Post("/moved", reply(307, "", "Location", elsewhere.url("/x")));
    s.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
      for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(10ms);
      res.set_content("late", "text/plain");
    });
    auto echo = [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.method + "|" + req.body.substr(0, 7) + "|" + std::to_string(req.body.size()) + "|" +
                          req.get_header_value("Content-Length") + "|" + req.get_header_value("X-One") + "|" +
                          (req.has_header("Expect") ? "expect" : "") + "|" + req.get_header_value("Accept-Encoding"),
                      "text/plain");
    };
    s.Post("/echo", echo);
    s.Put("/echo", echo);
  }};
  ~Server() { done = true; }
};

// A body of `length` bytes "abc..." handed over in pieces of at most 1000;
// `stopAt` bytes, then nothing more.
std::shared_ptr<BodySource> pieces(std::size_t length, std::size_t stopAt) {
  auto source = std::make_shared<BodySource>();
  source->length = length;
  source->pull = [given = std::make_shared<std::size_t>(0), stopAt](std::uint8_t* out, std::size_t capacity) {
    std::size_t n = std::min<std::size_t>({capacity, 1000, stopAt - *given});
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>('a' + (*given + i) % 26);
    *given += n;
    return std::optional<std::size_t>(n);
  };
  return source;
}

TEST(SynchronousSend, replies_failures_and_transfer_limits) {
  Server server;
  TransferPolicy limited;
  limited.followRedirects = false;
  limited.identityEncodingOnly = true;
  limited.maxReplyBytes = 1000;
  enum Body { None, Small, Large, Streamed, Short };
  struct Case {
    std::string url;
    const char* method;
    Body body;
    bool limits;
    long long error;  // 0: a reply
    long status;
    std::string reply;  // its start
  };
  const std::string echo = server.local.url("/echo");
  const Case cases[] = {
      {server.local.url("/old"), "GET", None, false, 0, 200, "hi"},
      // The length sent is the body's own, whatever the caller set.
      {echo, "POST", Small, false, 0, 200, "POST|a=1&b=2|7|7|1||"},
      {echo, "PUT", Large, false, 0, 200, "PUT|xxxxxxx|100000|100000|1||"},  // no "Expect"
      {echo, "POST", Streamed, true, 0, 200, "POST|abcdefg|100000|100000|1||identity"},
      {server.local.url("/big"), "POST", Streamed, true, NSURLErrorDataLengthExceedsMaximum, 0, ""},
      {server.local.url("/gzip"), "POST", Streamed, true, NSURLErrorCannotDecodeContentData, 0, ""},
      {server.local.url("/moved"), "POST", Streamed, true, 0, 307, ""},           // not followed to another host
      {echo, "POST", Short, false, NSURLErrorRequestBodyStreamExhausted, 0, ""},  // never sends less
      {refusedURL(), "GET", None, false, NSURLErrorCannotConnectToHost, 0, ""},
      {"not a url", "GET", None, false, NSURLErrorBadURL, 0, ""},
      {"file:///etc/passwd", "GET", None, false, NSURLErrorUnsupportedURL, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " " + c.method);
    URLRequest request(c.url);
    request.setHTTPMethod(c.method);
    request.setValue("1", "X-One");
    request.setValue("application/octet-stream", "Content-Type");
    if (c.body == Small) request.setHTTPBody(dataFromString("a=1&b=2")), request.setValue("999", "Content-Length");
    if (c.body == Large) request.setHTTPBody(Data(100000, 'x'));
    if (c.body == Streamed) request.setHTTPBodySource(pieces(100000, 100000));
    if (c.body == Short) request.setHTTPBodySource(pieces(10, 0));
    if (c.limits) request.setTransferPolicy(limited);
    SendResult r = sendSynchronousRequest(request);
    EXPECT_EQ(r.error ? r.error->code : 0, c.error) << (r.error ? r.error->description() : "");
    EXPECT_EQ(r.complete, c.error == 0);
    if (c.error) {
      ASSERT_TRUE(r.error);
      EXPECT_EQ(r.error->userInfo.at(NSURLErrorFailingURLStringErrorKey), c.url);
      continue;
    }
    ASSERT_TRUE(r.body && r.response);
    EXPECT_EQ(r.response->statusCode, c.status);
    EXPECT_EQ(text(*r.body).substr(0, c.reply.size()), c.reply);
    if (c.body == None) {
      // A redirect is followed: the final address and the final reply's fields.
      EXPECT_EQ(r.response->url, server.local.url("/hello"));
      EXPECT_EQ(r.response->valueForHTTPHeaderField("x-test"), "1");
      EXPECT_FALSE(r.response->valueForHTTPHeaderField("Location"));
    }
  }
  EXPECT_EQ(server.elsewhereHits, 0);

  URLRequest slow(server.local.url("/slow"));
  slow.setTimeoutInterval(1);
  SendResult r = sendSynchronousRequest(slow);
  EXPECT_EQ(r.error ? r.error->code : 0, NSURLErrorTimedOut);
}

}  // namespace
