#include "codec/HTTP.h"

#include "platform/WorkQueue.h"

namespace KDXML_HTTP {
namespace {

// The text as ASCII bytes: each character outside ASCII (a whole UTF-8
// sequence, or a single byte that starts none) becomes one "?".
platform::Data lossyASCII(std::string_view text) {
  platform::Data out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    std::size_t length = 1;  // a stray continuation byte or an impossible lead byte
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) length = 3;
    else if (c >= 0xF0 && c <= 0xF4) length = 4;
    if (length > 1 && (i + length > text.size() || !platform::isValidUTF8(text.substr(i, length)))) length = 1;
    out.push_back('?');
    i += length;
  }
  return out;
}

}  // namespace

platform::URLRequest kdxmlGetRequestWithURL(std::string url) {
  platform::URLRequest request;
  request.setURL(std::move(url));
  request.setHTTPMethod("GET");
  return request;
}

platform::URLRequest kdxmlPostRequestWithURL(std::string url,
                                             const std::vector<std::pair<std::string, std::string>>& parameters) {
  std::string text;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (i > 0) text += '&';
    text += parameters[i].first;
    text += '=';
    text += parameters[i].second;
  }
  platform::Data body = lossyASCII(text);

  platform::URLRequest request;
  request.setURL(std::move(url));
  request.setHTTPMethod("POST");
  request.setValue("application/x-www-form-urlencoded", "Content-Type");
  request.setValue(std::to_string(body.size()), "Content-Length");
  request.setHTTPBody(std::move(body));
  return request;
}

void kdxmlAsyncRequest(std::shared_ptr<const platform::URLRequest> request, SuccessCallback success,
                       FailureCallback failure) {
  // The work item owns the request reference and both callbacks until it has
  // run.
  platform::globalQueue().async(
      [request = std::move(request), success = std::move(success), failure = std::move(failure)] {
        platform::SendResult result = platform::sendSynchronousRequest(request ? *request : platform::URLRequest());
        if (result.error) {
          if (failure) failure(std::move(result.body), std::move(*result.error));
        } else {
          if (success) success(std::move(result.body), std::move(result.response));
        }
      });
}

}  // namespace KDXML_HTTP
