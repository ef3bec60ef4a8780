#pragma once
// HTTP: mutable requests, the synchronous send, and connections that run
// their transfer off the main thread and report to a delegate on the main
// thread. The transport is libcurl.

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

// NSHTTPURLResponse.
struct URLResponse {
  std::string url;
  long statusCode = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
};

struct SendResult {
  std::optional<Data> body;              // null when the exchange failed
  std::optional<URLResponse> response;   // set when a reply arrived
  std::optional<Error> error;            // set when the exchange failed
};

// sendSynchronousRequest:returningResponse:error: — blocks the calling thread.
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

// NSURLConnection: starts at once; the transfer runs on a thread of its own,
// and the delegate (held strongly until the connection ends) is called on the
// main thread. While it runs it keeps the application from ending.
class URLConnection : public std::enable_shared_from_this<URLConnection> {
 public:
  // initWithRequest:delegate: — nothing when the request has no usable URL.
  static std::shared_ptr<URLConnection> start(URLRequest request,
                                              std::shared_ptr<URLConnectionDelegate> delegate);
  const URLRequest& originalRequest() const { return request_; }
  // Stops delivering callbacks; the transfer is abandoned.
  void cancel();
  virtual ~URLConnection();

 protected:
  URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate);
  URLRequest request_;
  std::shared_ptr<URLConnectionDelegate> delegate_;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
