#pragma once
// HTTP: mutable requests, the synchronous send, and connections that run
// their transfer off the main thread and report to a delegate on the main
// thread. The transport is libcurl.
//
// Every exchange speaks http or https only, follows up to 16 redirects
// (within http and https), sends the request's header fields in order
// (Content-Length always reflects the body actually sent), accepts and
// decodes compressed replies, and gives up when the connection cannot be
// made or stays idle for the request's time-out. A request's TransferPolicy
// narrows this: no redirects, identity encoding only, a reply size limit, a
// low-speed limit and an overall deadline. Transport failures are error
// objects of the domain "NSURLErrorDomain" with the codes below.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
  NSURLErrorRequestBodyStreamExhausted = -1021,  // the body source failed or ran short
  NSURLErrorDataLengthExceedsMaximum = -1103,    // the reply passed the policy's size limit
  NSURLErrorHTTPTooManyRedirects = -1007,
  NSURLErrorBadServerResponse = -1011,
  NSURLErrorCannotDecodeContentData = -1016,
  NSURLErrorSecureConnectionFailed = -1200,
  NSURLErrorServerCertificateUntrusted = -1202,
};

// A request body produced in pieces while it is sent: its exact length is
// known in advance, and pull fills a buffer with the next bytes, returning how
// many (0 only once length bytes were given) or nothing on failure, which
// abandons the exchange. pull runs on the thread of the transfer.
struct BodySource {
  std::uint64_t length = 0;
  std::function<std::optional<std::size_t>(std::uint8_t* buffer, std::size_t capacity)> pull;
};

// Limits of one exchange beyond the time-out. The defaults change nothing.
struct TransferPolicy {
  bool followRedirects = true;                 // false: a 3xx reply is the final reply
  bool identityEncodingOnly = false;           // sends "Accept-Encoding: identity"; any other
                                               // Content-Encoding of the reply fails it
  std::optional<std::uint64_t> maxReplyBytes;  // a longer reply body fails the exchange
  // Fails the exchange when fewer than lowSpeedBytesPerSecond pass for
  // lowSpeedSeconds; 0 seconds: 1 byte/s over the request's time-out.
  long lowSpeedBytesPerSecond = 1;
  long lowSpeedSeconds = 0;
  // Overall deadline: deadlineSeconds plus the larger of the request body and
  // the reply body (stated or received so far) at deadlineBytesPerSecond.
  // 0 seconds: none.
  double deadlineSeconds = 0;
  double deadlineBytesPerSecond = 64 * 1024;
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
  // A body streamed from a source instead of httpBody (for POST and others).
  // The source is read once; the request then carries no body of its own.
  const std::shared_ptr<BodySource>& httpBodySource() const { return bodySource_; }
  void setHTTPBodySource(std::shared_ptr<BodySource> source) { bodySource_ = std::move(source); }
  const TransferPolicy& transferPolicy() const { return policy_; }
  void setTransferPolicy(TransferPolicy policy) { policy_ = policy; }
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
  std::shared_ptr<BodySource> bodySource_;
  TransferPolicy policy_;
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
  std::optional<Data> body;             // the body, whatever the status; null when the exchange failed
  std::optional<URLResponse> response;  // set when a reply arrived
  std::optional<Error> error;           // set when the exchange failed
  // The whole reply arrived: no transport error, the stated Content-Length
  // (when there was one) reached, within the policy's limits.
  bool complete = false;
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
  static std::shared_ptr<URLConnection> start(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate);
  const URLRequest& originalRequest() const { return request_; }
  // True once the exchange has ended with the whole reply received (see
  // SendResult::complete); set before connectionDidFinishLoading is called.
  bool transferComplete() const;
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

// Streamed download of a document to a file.

// Where a download stopped.
enum class DownloadFailure {
  None,
  HttpStatus,         // the final reply's status was not 2xx
  Connection,         // no connection, or it broke
  TimedOut,           // too slow, or past the overall deadline
  TooLarge,           // beyond the size limit
  Truncated,          // the body ended before its stated length
  DiskFull,           // ENOSPC or EDQUOT while writing
  LocalFile,          // the temporary file could not be made, written or moved
  Encoding,           // the reply was content-encoded
  DestinationExists,  // something appeared at the destination meanwhile
};

inline constexpr std::uint64_t kDefaultDownloadLimit = std::uint64_t{1} << 30;  // 1 GiB

struct DownloadLimits {
  std::uint64_t maxBytes = kDefaultDownloadLimit;
  double connectTimeout = 30;                 // seconds
  long lowSpeedBytesPerSecond = 512;          // below this …
  long lowSpeedSeconds = 60;                  // … for this long, the download fails
  double deadlineSeconds = 300;               // overall: this plus the size at …
  double deadlineBytesPerSecond = 32 * 1024;  // … this rate
  // The defaults, with maxBytes taken from the environment variable
  // VLA_LIMITE_DESCARGA (a decimal number of bytes, at least 1) when set.
  static DownloadLimits fromEnvironment();
};

inline constexpr char kDownloadLimitVariable[] = "VLA_LIMITE_DESCARGA";
// A download limit as VLA_LIMITE_DESCARGA gives it: decimal digits only, at
// least 1, no larger than 2^64-1; nothing for anything else.
std::optional<std::uint64_t> parseDownloadLimit(std::string_view text);

struct DownloadResult {
  bool ok = false;
  DownloadFailure failure = DownloadFailure::None;
  long statusCode = 0;     // of the final reply; 0 when none came
  std::string detail;      // what went wrong, for the log
  std::uint64_t size = 0;  // bytes received
  std::string sha256;      // lower-case hex of the received bytes (set when ok or DestinationExists)
};

// GETs url and streams the body into a new temporary file beside
// destination (mode 0600 while written), checking as it goes: status 2xx,
// identity encoding, the size limit, the low-speed limit and the deadline;
// at the end the stated Content-Length. On success the file gets the usual
// mode and is moved to destination without replacing anything there; on
// failure it is removed and nothing else is touched. Blocks the calling
// thread; thread-safe.
DownloadResult downloadToFile(const std::string& url, const std::string& destination,
                              const DownloadLimits& limits = DownloadLimits::fromEnvironment());

}  // namespace platform
