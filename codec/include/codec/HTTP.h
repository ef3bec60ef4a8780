#pragma once
// Request builders and a background send with two callbacks.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/Http.h"

namespace KDXML_HTTP {

// A GET request for the URL: method "GET", no header field and no body of
// its own; every other property keeps the request's default.
platform::URLRequest kdxmlGetRequestWithURL(std::string url);

// A form POST: the body is "key=value" for each parameter, in the given
// order, joined with "&", with nothing escaped; characters outside ASCII
// become "?". Sets "Content-Type" to "application/x-www-form-urlencoded" and
// "Content-Length" to the body's byte count.
platform::URLRequest kdxmlPostRequestWithURL(std::string url,
                                             const std::vector<std::pair<std::string, std::string>>& parameters);

using SuccessCallback =
    std::function<void(std::optional<platform::Data> body, std::optional<platform::URLResponse> response)>;
using FailureCallback = std::function<void(std::optional<platform::Data> body, platform::Error error)>;

// Sends the request on a worker thread of the global queue and returns at
// once. Exactly one callback runs, once, on that worker thread (never the
// main thread, never synchronously in the caller): failure when the
// exchange failed (no connection, unknown host, time-out, bad URL), success
// otherwise, also for error statuses such as 404 or 500, which the callback
// has to look at itself. The request is shared, not copied: do not change it
// afterwards. A missing callback is skipped. Callable from any thread.
void kdxmlAsyncRequest(std::shared_ptr<const platform::URLRequest> request, SuccessCallback success,
                       FailureCallback failure);

}  // namespace KDXML_HTTP
