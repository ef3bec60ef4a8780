// Placeholder until the libcurl transport lands: every exchange fails.
#include "platform/Http.h"

#include <strings.h>

namespace platform {

namespace {
bool sameField(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) == 0; }
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

SendResult sendSynchronousRequest(const URLRequest&) {
  SendResult r;
  r.error = Error{kURLErrorDomain, -1, {{NSLocalizedDescriptionKey, "no transport"}}};
  return r;
}

std::optional<Data> dataWithContentsOfURL(const std::string&) { return std::nullopt; }

struct URLConnection::State {};

URLConnection::URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate)
    : request_(std::move(request)), delegate_(std::move(delegate)) {}
URLConnection::~URLConnection() = default;

std::shared_ptr<URLConnection> URLConnection::start(URLRequest, std::shared_ptr<URLConnectionDelegate>) {
  return nullptr;
}

void URLConnection::cancel() {}

}  // namespace platform
