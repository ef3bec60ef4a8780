// HTTP over libcurl: the synchronous send, the blocking fetch, and
// connections that report to a delegate on the main thread.
#include "platform/Http.h"

#include <charconv>

#include <curl/curl.h>
#include <strings.h>

#include <glib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/RunLoop.h"

namespace platform {

namespace {

bool sameField(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) == 0; }

// libcurl must be initialised once before any other call, and the first use
// may come from any thread.
void ensureCurlInitialised() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)result;  // a failure shows up in curl_easy_init
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

constexpr char kProtocols[] = "http,https";
constexpr long kMaxRedirects = 16;

// One table from libcurl's results to the error codes and messages that
// callers see.
struct ErrorMapping {
  CURLcode curl;
  long long code;
  const char* message;
};
constexpr ErrorMapping kErrorTable[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, NSURLErrorUnsupportedURL, "unsupported URL"},
    {CURLE_URL_MALFORMAT, NSURLErrorBadURL, "bad URL"},
    {CURLE_COULDNT_RESOLVE_PROXY, NSURLErrorCannotFindHost, "A server with the specified hostname could not be found."},
    {CURLE_COULDNT_RESOLVE_HOST, NSURLErrorCannotFindHost, "A server with the specified hostname could not be found."},
    {CURLE_COULDNT_CONNECT, NSURLErrorCannotConnectToHost, "Could not connect to the server."},
    {CURLE_OPERATION_TIMEDOUT, NSURLErrorTimedOut, "The request timed out."},
    {CURLE_TOO_MANY_REDIRECTS, NSURLErrorHTTPTooManyRedirects, "too many HTTP redirects"},
    {CURLE_GOT_NOTHING, NSURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_SEND_ERROR, NSURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_RECV_ERROR, NSURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_PARTIAL_FILE, NSURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_WEIRD_SERVER_REPLY, NSURLErrorBadServerResponse, "The server returned a bad response."},
    {CURLE_HTTP2, NSURLErrorBadServerResponse, "The server returned a bad response."},
    {CURLE_BAD_CONTENT_ENCODING, NSURLErrorCannotDecodeContentData, "The data could not be decoded."},
    {CURLE_SSL_CONNECT_ERROR, NSURLErrorSecureConnectionFailed,
     "An SSL error has occurred and a secure connection to the server cannot be made."},
    {CURLE_PEER_FAILED_VERIFICATION, NSURLErrorServerCertificateUntrusted,
     "The certificate for this server is invalid."},
    {CURLE_ABORTED_BY_CALLBACK, NSURLErrorCancelled, "cancelled"},
    {CURLE_FILESIZE_EXCEEDED, NSURLErrorDataLengthExceedsMaximum, "The reply is larger than allowed."},
};

Error makeError(long long code, const std::string& message, const std::string& url, const std::string& detail) {
  Error error{kURLErrorDomain, code, {{NSLocalizedDescriptionKey, message}}};
  error.userInfo[NSURLErrorFailingURLStringErrorKey] = url;
  if (!detail.empty()) error.userInfo["NSDebugDescription"] = detail;
  return error;
}

Error errorFor(CURLcode result, const std::string& url, const char* detail) {
  std::string text = detail != nullptr && *detail != '\0' ? detail : curl_easy_strerror(result);
  for (const auto& entry : kErrorTable) {
    if (entry.curl == result) return makeError(entry.code, entry.message, url, text);
  }
  return makeError(NSURLErrorUnknown, "unknown error", url, text);
}

// Checks the address before any transfer: nothing when it is usable,
// otherwise the error that the exchange fails with.
std::optional<Error> checkURL(const std::string& url) {
  ensureCurlInitialised();
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed) return makeError(NSURLErrorUnknown, "unknown error", url, "out of memory");
  if (url.empty() || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return makeError(NSURLErrorBadURL, "bad URL", url, "");
  }
  char* scheme = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    return makeError(NSURLErrorBadURL, "bad URL", url, "");
  }
  const bool supported = ::strcasecmp(scheme, "http") == 0 || ::strcasecmp(scheme, "https") == 0;
  curl_free(scheme);
  if (!supported) return makeError(NSURLErrorUnsupportedURL, "unsupported URL", url, "");
  return std::nullopt;
}

std::string trim(std::string_view s) {
  const char* ws = " \t\r\n";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(ws);
  return std::string(s.substr(b, e - b + 1));
}

// What one exchange reports as it goes, on the thread that runs it.
struct ExchangeHandlers {
  std::function<void(URLResponse)> response;                    // once, before the first piece
  std::function<void(const std::uint8_t*, std::size_t)> piece;  // may set what cancelled() reads
  std::function<bool()> cancelled;                              // polled; true abandons the exchange
};

// The state of one running exchange, reached from libcurl's callbacks.
class Exchange {
 public:
  Exchange(const URLRequest& request, ExchangeHandlers& handlers) : request_(request), handlers_(handlers) {}

  // Runs the whole exchange on the calling thread; nothing on success.
  std::optional<Error> run() {
    if (auto error = checkURL(request_.url())) return error;
    EasyHandle easy(curl_easy_init());
    if (!easy) return makeError(NSURLErrorUnknown, "unknown error", request_.url(), "curl_easy_init failed");
    CURL* h = easy.get();
    handle_ = h;

    char detail[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(h, CURLOPT_URL, request_.url().c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, kProtocols);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
    const TransferPolicy& policy = request_.transferPolicy();
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, policy.followRedirects ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // signals are process-wide; threads must not use them
    if (policy.identityEncodingOnly) {
      // Nothing is decoded: a compressed reply could be any size once
      // inflated. The header is sent with the request's own fields.
      curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    } else {
      curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    }
    if (policy.maxReplyBytes) {
      curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(*policy.maxReplyBytes));
    }
    curl_easy_setopt(h, CURLOPT_USERAGENT, "vla");

    // The time-out bounds connecting and each idle stretch, as a request's
    // time-out does, rather than the whole exchange: a long download that
    // keeps receiving is not cut off.
    double timeout = request_.timeoutInterval();
    if (!(timeout > 0)) timeout = kDefaultTimeoutInterval;
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(timeout * 1000)));
    if (policy.lowSpeedSeconds > 0) {
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, policy.lowSpeedBytesPerSecond));
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, policy.lowSpeedSeconds);
    } else {
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::ceil(timeout)));
    }
    started_ = std::chrono::steady_clock::now();

    setMethodAndBody(h);
    HeaderList headers = headerList();
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Exchange::onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Exchange::onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Exchange::onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);

    CURLcode result = curl_easy_perform(h);
    result_ = result;
    if (tooLarge_ || result == CURLE_FILESIZE_EXCEEDED) {
      return makeError(NSURLErrorDataLengthExceedsMaximum, "The reply is larger than allowed.", request_.url(),
                       "more than " + std::to_string(policy.maxReplyBytes.value_or(0)) + " bytes");
    }
    if (badEncoding_ || (result == CURLE_OK && policy.identityEncodingOnly && encodedReply(headers_))) {
      return makeError(NSURLErrorCannotDecodeContentData, "The data could not be decoded.", request_.url(),
                       "the reply is content-encoded");
    }
    if (pastDeadline_) {
      return makeError(NSURLErrorTimedOut, "The request timed out.", request_.url(), "overall deadline passed");
    }
    if (sourceFailed_) {
      return makeError(NSURLErrorRequestBodyStreamExhausted, "The request body could not be read.", request_.url(),
                       "the body source failed after " + std::to_string(sent_) + " bytes");
    }
    if (result != CURLE_OK) return errorFor(result, request_.url(), detail);
    deliverResponse();  // a reply without a body still has its response
    return std::nullopt;
  }

  // libcurl's result of the last run().
  CURLcode result() const { return result_; }
  std::uint64_t received() const { return received_; }

 private:
  void setMethodAndBody(CURL* h) {
    const std::string& method = request_.httpMethod();
    const Data& body = request_.httpBody();
    if (method.empty() || method == "GET") {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      return;
    }
    if (method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
      return;
    }
    if (method == "POST") {
      curl_easy_setopt(h, CURLOPT_POST, 1L);
    } else {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (const auto& source = request_.httpBodySource()) {
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(source->length));
      curl_easy_setopt(h, CURLOPT_READFUNCTION, &Exchange::onRead);
      curl_easy_setopt(h, CURLOPT_READDATA, this);
      // Another method keeps its name but sends its body as a POST would.
      if (method != "POST") curl_easy_setopt(h, CURLOPT_POST, 1L);
      return;
    }
    if (method == "POST" || !body.empty()) {
      // The request outlives the exchange, so libcurl may read the body in
      // place.
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.empty() ? "" : reinterpret_cast<const char*>(body.data()));
    }
  }

  HeaderList headerList() const {
    curl_slist* list = nullptr;
    bool expectSet = false;
    auto append = [&list](const std::string& line) {
      curl_slist* longer = curl_slist_append(list, line.c_str());
      if (longer) list = longer;
    };
    for (const auto& [name, value] : request_.allHTTPHeaderFields()) {
      // libcurl states the length of what it sends; a stated length that
      // disagreed with the body would corrupt the exchange.
      if (sameField(name, "Content-Length")) continue;
      if (request_.transferPolicy().identityEncodingOnly && sameField(name, "Accept-Encoding")) continue;
      if (sameField(name, "Expect")) expectSet = true;
      // "Name;" is libcurl's way of sending a field with an empty value.
      std::string line = name;
      line += value.empty() ? ";" : ": ";
      line += value;
      append(line);
    }
    // No "100-continue" round trip before a body.
    if (!expectSet) append("Expect:");
    if (request_.transferPolicy().identityEncodingOnly) append("Accept-Encoding: identity");
    return HeaderList(list);
  }

  void deliverResponse() {
    if (responseDelivered_) return;
    responseDelivered_ = true;
    URLResponse response;
    long status = 0;
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
    response.statusCode = status;
    char* effective = nullptr;
    curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &effective);
    response.url = effective ? effective : request_.url();
    response.headers = std::move(headers_);
    if (handlers_.response) handlers_.response(std::move(response));
  }

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* ex = static_cast<Exchange*>(self);
    std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
      ex->headers_.clear();  // a new reply: an interim one or a redirect came before
    } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (!ex->headers_.empty()) {  // a folded line continues the field before it
        std::string& value = ex->headers_.back().second;
        value += ' ';
        value += trim(line);
      }
    } else if (std::size_t colon = line.find(':'); colon != std::string_view::npos) {
      std::string name = trim(line.substr(0, colon));
      std::string value = trim(line.substr(colon + 1));
      bool joined = false;
      for (auto& [n, v] : ex->headers_) {
        if (sameField(n, name)) {
          v += ", " + value;
          joined = true;
          break;
        }
      }
      if (!joined) ex->headers_.emplace_back(std::move(name), std::move(value));
    }
    return size * count;
  }

  static bool encodedReply(const std::vector<std::pair<std::string, std::string>>& headers) {
    for (const auto& [name, value] : headers) {
      if (sameField(name, "Content-Encoding") && !value.empty() && ::strcasecmp(value.c_str(), "identity") != 0) {
        return true;
      }
    }
    return false;
  }

  static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto* ex = static_cast<Exchange*>(self);
    const BodySource& source = *ex->request_.httpBodySource();
    const std::uint64_t left = source.length - ex->sent_;
    if (left == 0) return 0;
    const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(left, size * count));
    std::optional<std::size_t> n =
        source.pull ? source.pull(reinterpret_cast<std::uint8_t*>(buffer), capacity) : std::nullopt;
    // A source that fails or ends early would leave the stated length unmet.
    if (!n || *n == 0 || *n > capacity) {
      ex->sourceFailed_ = true;
      return CURL_READFUNC_ABORT;
    }
    ex->sent_ += *n;
    return *n;
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* ex = static_cast<Exchange*>(self);
    if (ex->handlers_.cancelled && ex->handlers_.cancelled()) return 0;  // abandons the transfer
    const TransferPolicy& policy = ex->request_.transferPolicy();
    if (!ex->responseDelivered_ && policy.identityEncodingOnly && encodedReply(ex->headers_)) {
      ex->badEncoding_ = true;
      return 0;
    }
    ex->received_ += size * count;
    if (policy.maxReplyBytes && ex->received_ > *policy.maxReplyBytes) {
      ex->tooLarge_ = true;
      return 0;
    }
    ex->deliverResponse();
    if (size * count > 0 && ex->handlers_.piece) {
      ex->handlers_.piece(reinterpret_cast<const std::uint8_t*>(data), size * count);
    }
    return size * count;
  }

  static int onProgress(void* self, curl_off_t downloadTotal, curl_off_t downloaded, curl_off_t, curl_off_t) {
    auto* ex = static_cast<Exchange*>(self);
    if (ex->handlers_.cancelled && ex->handlers_.cancelled()) return 1;
    const TransferPolicy& policy = ex->request_.transferPolicy();
    if (policy.deadlineSeconds > 0) {
      const auto& source = ex->request_.httpBodySource();
      auto bytes = static_cast<double>(source ? source->length : ex->request_.httpBody().size());
      bytes = std::max({bytes, static_cast<double>(downloadTotal), static_cast<double>(downloaded)});
      const double allowed =
          policy.deadlineSeconds + (policy.deadlineBytesPerSecond > 0 ? bytes / policy.deadlineBytesPerSecond : 0);
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - ex->started_).count();
      if (elapsed > allowed) {
        ex->pastDeadline_ = true;
        return 1;
      }
    }
    return 0;
  }

  const URLRequest& request_;
  ExchangeHandlers& handlers_;
  CURL* handle_ = nullptr;
  std::vector<std::pair<std::string, std::string>> headers_;
  bool responseDelivered_ = false;
  std::chrono::steady_clock::time_point started_;
  CURLcode result_ = CURLE_OK;
  std::uint64_t received_ = 0;
  std::uint64_t sent_ = 0;
  bool tooLarge_ = false;
  bool badEncoding_ = false;
  bool pastDeadline_ = false;
  bool sourceFailed_ = false;
};

}  // namespace

void URLRequest::setValue(const std::string& value, const std::string& field) {
  for (auto& [name, v] : headers_) {
    if (sameField(name, field)) {
      v = value;
      return;
    }
  }
  headers_.emplace_back(field, value);
}

void URLRequest::addValue(const std::string& value, const std::string& field) {
  for (auto& [name, v] : headers_) {
    if (sameField(name, field)) {
      v += "," + value;
      return;
    }
  }
  headers_.emplace_back(field, value);
}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(const std::string& field) const {
  for (const auto& [name, v] : headers_) {
    if (sameField(name, field)) return v;
  }
  return std::nullopt;
}

std::optional<std::string> URLResponse::valueForHTTPHeaderField(const std::string& field) const {
  for (const auto& [name, v] : headers) {
    if (sameField(name, field)) return v;
  }
  return std::nullopt;
}

SendResult sendSynchronousRequest(const URLRequest& request) {
  SendResult result;
  Data body;
  ExchangeHandlers handlers;
  handlers.response = [&result](URLResponse response) { result.response = std::move(response); };
  handlers.piece = [&body](const std::uint8_t* p, std::size_t n) { body.insert(body.end(), p, p + n); };
  if (auto error = Exchange(request, handlers).run()) {
    result.error = std::move(error);
  } else {
    result.body = std::move(body);
    result.complete = true;
  }
  return result;
}

std::optional<Data> dataWithContentsOfURL(const std::string& url) {
  SendResult result = sendSynchronousRequest(URLRequest(url));
  if (result.error) return std::nullopt;
  return std::move(result.body);
}

struct URLConnection::State {
  std::mutex mutex;
  std::shared_ptr<URLConnectionDelegate> delegate;  // let go with the last callback or cancel()
  std::atomic<bool> cancelled{false};
  std::atomic<bool> complete{false};

  // The delegate to call now, or nothing once the connection was cancelled.
  std::shared_ptr<URLConnectionDelegate> current() {
    std::lock_guard lock(mutex);
    return cancelled ? nullptr : delegate;
  }
};

URLConnection::URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate)
    : request_(std::move(request)), state_(std::make_shared<State>()) {
  state_->delegate = std::move(delegate);
}

URLConnection::~URLConnection() = default;

std::shared_ptr<URLConnection> URLConnection::start(URLRequest request,
                                                    std::shared_ptr<URLConnectionDelegate> delegate) {
  if (checkURL(request.url())) return nullptr;
  std::shared_ptr<URLConnection> connection(new URLConnection(std::move(request), std::move(delegate)));
  Activity activity = Application::sharedApplication().beginActivity("URL connection");
  // The thread holds the connection (and through it the delegate) until the
  // transfer ends; the queued callbacks hold it until they have run.
  std::thread([connection, activity]() mutable { connection->transfer(std::move(activity)); }).detach();
  return connection;
}

void URLConnection::transfer(std::shared_ptr<void> activity) {
  std::shared_ptr<URLConnection> self = shared_from_this();
  std::shared_ptr<State> state = state_;
  // Each callback is queued on the main run loop, in the order of events,
  // and never waited for.
  auto post = [state](std::function<void(URLConnectionDelegate&)> call) {
    RunLoop::main().perform([state, call = std::move(call)] {
      if (auto delegate = state->current()) call(*delegate);
    });
  };

  ExchangeHandlers handlers;
  handlers.response = [&](URLResponse response) {
    post([self, response = std::move(response)](URLConnectionDelegate& d) { d.connection(*self, response); });
  };
  handlers.piece = [&](const std::uint8_t* p, std::size_t n) {
    post([self, piece = Data(p, p + n)](URLConnectionDelegate& d) { d.connection(*self, piece); });
  };
  handlers.cancelled = [state] { return state->cancelled.load(); };
  std::optional<Error> error = Exchange(request_, handlers).run();
  if (!error) state->complete = true;

  // The last callback lets go of the delegate, and its task, once run, of
  // the activity that keeps the application running.
  RunLoop::main().perform([self, state, error = std::move(error), activity = std::move(activity)] {
    std::shared_ptr<URLConnectionDelegate> delegate;
    {
      std::lock_guard lock(state->mutex);
      delegate = std::move(state->delegate);
      if (state->cancelled) return;
    }
    if (!delegate) return;
    if (error) {
      delegate->connection(*self, *error);
    } else {
      delegate->connectionDidFinishLoading(*self);
    }
  });
}

bool URLConnection::transferComplete() const { return state_->complete.load(); }

void URLConnection::cancel() {
  std::shared_ptr<URLConnectionDelegate> released;
  {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    released = std::move(state_->delegate);
  }
  // `released` goes out of scope outside the lock: a delegate whose last
  // reference this was may do anything in its destructor.
}

std::optional<std::uint64_t> parseDownloadLimit(std::string_view text) {
  std::uint64_t value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

DownloadLimits DownloadLimits::fromEnvironment() {
  DownloadLimits limits;
  // main() refuses to start with a value that is not a limit.
  if (const char* text = std::getenv(kDownloadLimitVariable)) {
    if (auto value = parseDownloadLimit(text)) limits.maxBytes = *value;
  }
  return limits;
}

namespace {

struct ChecksumDeleter {
  void operator()(GChecksum* checksum) const { g_checksum_free(checksum); }
};

DownloadFailure failureForCurl(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return DownloadFailure::TimedOut;
    case CURLE_PARTIAL_FILE: return DownloadFailure::Truncated;
    case CURLE_FILESIZE_EXCEEDED: return DownloadFailure::TooLarge;
    case CURLE_BAD_CONTENT_ENCODING: return DownloadFailure::Encoding;
    default: return DownloadFailure::Connection;
  }
}

}  // namespace

DownloadResult downloadToFile(const std::string& url, const std::string& destination, const DownloadLimits& limits) {
  DownloadResult out;
  auto fail = [&out](DownloadFailure failure, std::string detail) {
    out.ok = false;
    out.failure = failure;
    out.detail = std::move(detail);
    return out;
  };

  int error = 0;
  std::unique_ptr<TemporaryFile> temp = TemporaryFile::createBeside(destination, &error);
  if (!temp) {
    return fail(error == ENOSPC || error == EDQUOT ? DownloadFailure::DiskFull : DownloadFailure::LocalFile,
                "no se puede crear un fichero temporal junto a " + destination + ": " + std::strerror(error));
  }

  URLRequest request(url);
  request.setTimeoutInterval(limits.connectTimeout);
  TransferPolicy policy;
  policy.identityEncodingOnly = true;
  policy.maxReplyBytes = limits.maxBytes;
  policy.lowSpeedBytesPerSecond = limits.lowSpeedBytesPerSecond;
  policy.lowSpeedSeconds = limits.lowSpeedSeconds;
  policy.deadlineSeconds = limits.deadlineSeconds;
  policy.deadlineBytesPerSecond = limits.deadlineBytesPerSecond;
  request.setTransferPolicy(policy);

  std::unique_ptr<GChecksum, ChecksumDeleter> checksum(g_checksum_new(G_CHECKSUM_SHA256));
  std::optional<URLResponse> response;
  int writeError = 0;
  bool badStatus = false;
  ExchangeHandlers handlers;
  handlers.response = [&](URLResponse r) {
    badStatus = r.statusCode < 200 || r.statusCode > 299;
    response = std::move(r);
  };
  handlers.piece = [&](const std::uint8_t* p, std::size_t n) {
    if (badStatus || writeError != 0) return;  // an error page is not written
    writeError = temp->write(p, n);
    if (writeError == 0) {
      g_checksum_update(checksum.get(), p, static_cast<gssize>(n));
      out.size += n;
    }
  };
  handlers.cancelled = [&] { return badStatus || writeError != 0; };

  Exchange exchange(request, handlers);
  std::optional<Error> transportError = exchange.run();
  if (response) out.statusCode = response->statusCode;

  if (writeError != 0) {
    return fail(writeError == ENOSPC || writeError == EDQUOT ? DownloadFailure::DiskFull : DownloadFailure::LocalFile,
                "no se puede escribir " + temp->path() + ": " + std::strerror(writeError));
  }
  if (badStatus) return fail(DownloadFailure::HttpStatus, "estado HTTP " + std::to_string(out.statusCode));
  if (transportError) {
    DownloadFailure failure = failureForCurl(exchange.result());
    switch (transportError->code) {
      case NSURLErrorDataLengthExceedsMaximum: failure = DownloadFailure::TooLarge; break;
      case NSURLErrorCannotDecodeContentData: failure = DownloadFailure::Encoding; break;
      case NSURLErrorTimedOut: failure = DownloadFailure::TimedOut; break;
      default: break;
    }
    std::string detail = transportError->description();
    if (auto it = transportError->userInfo.find("NSDebugDescription"); it != transportError->userInfo.end()) {
      detail += " (" + it->second + ")";
    }
    return fail(failure, detail);
  }
  if (!response) return fail(DownloadFailure::Connection, "no llegó ninguna respuesta");
  if (out.statusCode < 200 || out.statusCode > 299) {
    return fail(DownloadFailure::HttpStatus, "estado HTTP " + std::to_string(out.statusCode));
  }
  if (auto stated = response->valueForHTTPHeaderField("Content-Length")) {
    char* end = nullptr;
    unsigned long long length = std::strtoull(stated->c_str(), &end, 10);
    if (end == stated->c_str() || *end != '\0' || length != out.size) {
      return fail(DownloadFailure::Truncated, "llegaron " + std::to_string(out.size) + " bytes de " + *stated);
    }
  }

  // Known before the move: a caller that finds its own earlier download at
  // the destination tells it by this.
  out.sha256 = g_checksum_get_string(checksum.get());
  MoveOutcome moved = temp->commit(destination, &error);
  if (moved == MoveOutcome::DestinationExists) {
    return fail(DownloadFailure::DestinationExists, "ya hay un fichero en " + destination);
  }
  if (moved != MoveOutcome::Moved) {
    return fail(error == ENOSPC || error == EDQUOT ? DownloadFailure::DiskFull : DownloadFailure::LocalFile,
                "no se puede dejar el fichero en " + destination + ": " + std::strerror(error));
  }
  out.ok = true;
  out.failure = DownloadFailure::None;
  return out;
}

}  // namespace platform
