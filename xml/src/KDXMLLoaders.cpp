// Loading documents from the application's resources.

#include "codec/Compression.h"
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

}  // namespace xml
