// Loading documents from the application's resources and from a URL.

#include "codec/Compression.h"
#include "codec/HTTP.h"
#include "platform/Resources.h"
#include "xml/KDXML.h"

namespace xml {
namespace {

// The extension of the last path component: what follows its last '.',
// unless that dot starts the component ("reply.xml.gz" → "gz", "reply" → "").
std::string pathExtension(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= start) return {};
  return path.substr(dot + 1);
}

std::string stringByDeletingPathExtension(const std::string& path) {
  const std::string extension = pathExtension(path);
  return extension.empty() ? path : path.substr(0, path.size() - extension.size() - 1);
}

std::string stringByAppendingPathExtension(const std::string& path, const std::string& extension) {
  return extension.empty() ? path : path + "." + extension;
}

}  // namespace

KDXML& KDXML::initWithXMLFile(const std::string& name, platform::Error* error) {
  return initWithXMLFile(stringByDeletingPathExtension(name), pathExtension(name), error);
}

KDXML& KDXML::initWithXMLFile(const std::string& name, const std::string& extension, platform::Error* error) {
  const std::optional<std::string> path = platform::pathForResource(name, extension);
  if (!path) {
    if (error != nullptr) {
      *error = errorWithCode(KDXMLErrorFileNotFound,
                             {{platform::NSFilePathErrorKey, stringByAppendingPathExtension(name, extension)}});
    }
    return *this;
  }
  // A file that cannot be read or decompressed gives no bytes: an empty
  // input (code 0). decodeData also reports code 1 when no root results.
  const std::optional<platform::Data> bytes = KDXML_Compression::dataWithUncompressedContentsOfFile(*path);
  decodeData(bytes ? *bytes : platform::Data(), error);
  return *this;
}

std::unique_ptr<KDXML> KDXML::kdxmlWithXMLFile(const std::string& name, platform::Error* error) {
  std::unique_ptr<KDXML> document(new (std::nothrow) KDXML());
  if (document) document->initWithXMLFile(name, error);
  return document;
}

std::unique_ptr<KDXML> KDXML::kdxmlWithXMLFile(const std::string& name, const std::string& extension,
                                               platform::Error* error) {
  std::unique_ptr<KDXML> document(new (std::nothrow) KDXML());
  if (document) document->initWithXMLFile(name, extension, error);
  return document;
}

void KDXML::initWithURL(const std::string& url, SuccessBlock success, FailureBlock failure) {
  // The request's callbacks hold the document and both of the caller's
  // callbacks until one of them has run.
  std::shared_ptr<KDXML> document = weak_from_this().lock();
  if (!document) {
    // Nothing would keep a document that no shared_ptr owns alive until the
    // reply: refuse at once rather than decode into a dead object.
    if (failure) failure(nullptr, errorWithCode(-1));
    return;
  }
  auto request = std::make_shared<const platform::URLRequest>(KDXML_HTTP::kdxmlGetRequestWithURL(url));
  // Both callbacks are made before the call: the reply's takes its copy of
  // failure before the error's takes the original.
  auto onReply = [document, success = std::move(success), failure](const std::optional<platform::Data>& body,
                                                                   const std::optional<platform::URLResponse>&) {
    // Whatever the HTTP status: a body that holds an element is a document.
    platform::Error error;
    if (document->decodeDataReporting(body ? *body : platform::Data(), &error)) {
      if (failure) failure(document, error);
    } else if (success) {
      success(document);
    }
  };
  auto onError = [document, failure = std::move(failure)](const std::optional<platform::Data>&, platform::Error error) {
    if (failure) failure(document, std::move(error));
  };
  KDXML_HTTP::kdxmlAsyncRequest(request, std::move(onReply), std::move(onError));
}

std::shared_ptr<KDXML> KDXML::kdxmlWithURL(const std::string& url, SuccessBlock success, FailureBlock failure) {
  std::shared_ptr<KDXML> document(new (std::nothrow) KDXML());
  if (document) document->initWithURL(url, std::move(success), std::move(failure));
  return document;
}

}  // namespace xml
