#pragma once
// HTTP: mutable requests, the synchronous send, and connections that run
// their transfer off the main thread and report to a delegate on the main
// thread. The transport is libcurl.
//
// Every exchange speaks http or https only, follows up to 16 redirects
// (within http and https), sends the request's header fields in order
// (Content-Length always reflects the body actually sent), accepts and
// decodes compressed replies, and gives up when the connection cannot be
// made or stays idle for the request's time-out. Transport failures are
// error objects of the domain "NSURLErrorDomain" with the codes below.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"

namespace platform {

inline constexpr char kURLErrorDomain[] = "NSURLErrorDomain";
inline constexpr double kDefaultTimeoutInterval = 60.0;
// The key of an error's user info that holds the address of the exchange.
inline constexpr char NSURLErrorFailingURLStringErrorKey[] = "NSErrorFailingURLStringKey";

// Codes of the transport errors.
enum URLErrorCode : long long {
  NSURLErrorUnknown = -1,
  NSURLErrorCancelled = -999,
  NSURLErrorBadURL = -1000,
  NSURLErrorTimedOut = -1001,
  NSURLErrorUnsupportedURL = -1002,
  NSURLErrorCannotFindHost = -1003,
  NSURLErrorCannotConnectToHost = -1004,
  NSURLErrorNetworkConnectionLost = -1005,
  NSURLErrorHTTPTooManyRedirects = -1007,
  NSURLErrorBadServerResponse = -1011,
  NSURLErrorCannotDecodeContentData = -1016,
  NSURLErrorSecureConnectionFailed = -1200,
  NSURLErrorServerCertificateUntrusted = -1202,
};

// NSMutableURLRequest.
class URLRequest {
 public:
  URLRequest() = default;
  explicit URLRequest(std::string url) : url_(std::move(url)) {}

  const std::string& url() const { return url_; }
  void setURL(std::string url) { url_ = std::move(url); }
  const std::string& httpMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }
  const Data& httpBody() const { return body_; }
  void setHTTPBody(Data body) { body_ = std::move(body); }
  // Seconds that connecting may take and that the exchange may stay idle
  // (checked about once a second); not a limit on the whole exchange. A
  // value that is not positive means the default.
  double timeoutInterval() const { return timeout_; }
  void setTimeoutInterval(double seconds) { timeout_ = seconds; }

  // Header fields in the order they were first set. Names compare without
  // regard to case.
  const std::vector<std::pair<std::string, std::string>>& allHTTPHeaderFields() const { return headers_; }
  // Sets a field, replacing any earlier value of it.
  void setValue(const std::string& value, const std::string& field);
  // Adds a value to a field; an existing field gets ",value" appended.
  void addValue(const std::string& value, const std::string& field);
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;

 private:
  std::string url_;
  std::string method_ = "GET";
  std::vector<std::pair<std::string, std::string>> headers_;
  Data body_;
  double timeout_ = kDefaultTimeoutInterval;
};

// NSHTTPURLResponse: the final reply, after any redirects. Header fields
// repeated in the reply are joined with ", ".
struct URLResponse {
  std::string url;  // the address that gave this reply
  long statusCode = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
};

struct SendResult {
  std::optional<Data> body;              // the body, whatever the status; null when the exchange failed
  std::optional<URLResponse> response;   // set when a reply arrived
  std::optional<Error> error;            // set when the exchange failed
};

// sendSynchronousRequest:returningResponse:error: — blocks the calling
// thread until the reply is complete or the exchange has failed. A reply with
// an error status (404, 500) is no failure. Thread-safe.
SendResult sendSynchronousRequest(const URLRequest& request);

// initWithContentsOfURL: — a blocking GET; the body whatever the status, or
// nothing when the exchange failed or the address is not a valid URL.
std::optional<Data> dataWithContentsOfURL(const std::string& url);

class URLConnection;

// Receives a connection's progress on the main thread.
class URLConnectionDelegate {
 public:
  virtual ~URLConnectionDelegate() = default;
  // connection:didReceiveResponse:
  virtual void connection(URLConnection& connection, const URLResponse& response) = 0;
  // connection:didReceiveData: — once per piece of the body.
  virtual void connection(URLConnection& connection, const Data& piece) = 0;
  // connectionDidFinishLoading:
  virtual void connectionDidFinishLoading(URLConnection& connection) = 0;
  // connection:didFailWithError:
  virtual void connection(URLConnection& connection, const Error& error) = 0;
};

// NSURLConnection: starts at once; the transfer runs on a thread of its own.
// The delegate is called on the main thread, through the main run loop, in
// this order: the response once, each piece of the body, then either
// connectionDidFinishLoading or the error. The transfer never waits for the
// main thread. Until the last callback has been delivered the connection
// holds its delegate and itself alive and keeps the application from ending.
class URLConnection : public std::enable_shared_from_this<URLConnection> {
 public:
  // initWithRequest:delegate: — nothing when the request has no usable URL
  // (empty, malformed, or not http/https). Call from any thread.
  static std::shared_ptr<URLConnection> start(URLRequest request,
                                              std::shared_ptr<URLConnectionDelegate> delegate);
  const URLRequest& originalRequest() const { return request_; }
  // No callback is delivered after this; the delegate is let go and the
  // transfer abandoned (within about a second). Call from any thread.
  void cancel();
  virtual ~URLConnection();

  URLConnection(const URLConnection&) = delete;
  URLConnection& operator=(const URLConnection&) = delete;

 protected:
  URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate);
  URLRequest request_;
  struct State;
  std::shared_ptr<State> state_;  // the delegate and the cancel flag, shared with the transfer

 private:
  void transfer(std::shared_ptr<void> activity);
};

}  // namespace platform
