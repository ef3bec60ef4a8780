#pragma once
// KDXML: a small read-only XML reader. It keeps one private, NUL-terminated
// copy of the document and parses it in place: names, texts and attribute
// values are pointers into that copy, ended by NUL bytes the parser writes.
// Element and attribute records come from chunks of 100 that never move, so
// every record pointer stays valid exactly as long as the document lives.
//
// Nothing is validated: no namespaces (a prefix is part of the name), no
// entity decoding, no DTD, and closing tags are not matched by name.
//
// Threads: a document is built on one thread and afterwards only read; the
// class-level queries keep no state and may run on any thread while the
// document that owns the records is alive.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/Object.h"

namespace xml {

// An attribute of an element; name and value point into the document's copy.
struct _KDXMLAttribute {
  char* name;             // NUL-terminated
  char* value;            // NUL-terminated; never null in a record the parser made
  _KDXMLAttribute* next;  // the next attribute of the same element, or null
};

// An element; every link is null when absent.
struct _KDXMLElement {
  char* name;  // NUL-terminated
  char* text;  // NUL-terminated, or null (see the parser)
  _KDXMLAttribute* firstAttribute;
  _KDXMLElement* parentElement;  // null for the root and elements outside it
  _KDXMLElement* firstChild;
  _KDXMLElement* lastChild;
  _KDXMLElement* nextSibling;
  _KDXMLElement* previousSibling;
};

// Header of a chunk of element records (the document owns both).
struct _KDXMLElementBuffer {
  _KDXMLElement* elements;        // exactly kKDXMLRecordsPerBuffer records
  _KDXMLElementBuffer* next;      // the chunk made after this one, or null
  _KDXMLElementBuffer* previous;  // the chunk made before this one, or null
};

// Header of a chunk of attribute records (the document owns both).
struct _KDXMLAttributeBuffer {
  _KDXMLAttribute* attributes;  // exactly kKDXMLRecordsPerBuffer records
  _KDXMLAttributeBuffer* next;
  _KDXMLAttributeBuffer* previous;
};

inline constexpr std::int64_t kKDXMLRecordsPerBuffer = 100;

namespace detail {
// A chunk as the document keeps it: the header and the records it points
// to. Records are zero-filled one by one as they are handed out (zeroing all
// 100 at once would cost more than parsing a short reply); a record not yet
// handed out holds no data.
struct KDXMLElementChunk {
  _KDXMLElementBuffer header{};
  _KDXMLElement records[kKDXMLRecordsPerBuffer];
};
struct KDXMLAttributeChunk {
  _KDXMLAttributeBuffer header{};
  _KDXMLAttribute records[kKDXMLRecordsPerBuffer];
};

// The most chunks taken with one allocation.
inline constexpr std::size_t kMaxChunksPerSlab = 64;

// The chunks after the first: allocated in blocks ("slabs") of growing size,
// handed out one by one; every chunk stays where it is until the document
// is released.
template <typename Chunk>
struct KDXMLChunkSlabs {
  std::vector<std::unique_ptr<Chunk[]>> slabs;
  Chunk* next = nullptr;  // the next chunk not yet used in the newest slab
  Chunk* end = nullptr;
};
}  // namespace detail

// The reader's error domain.
inline constexpr char kKDXMLErrorDomain[] = "org.velmora.vla.KDXML";

// The reader's error codes; errorTextForCode gives their messages.
enum KDXMLErrorCode : std::int32_t {
  KDXMLErrorDataIsNil = 0,
  KDXMLErrorDecodeFailure = 1,
  KDXMLErrorOutOfMemory = 2,
  KDXMLErrorFileNotFound = 3,
  KDXMLErrorElementIsNil = 4,
  KDXMLErrorElementNameIsNil = 5,
  KDXMLErrorElementNotFound = 6,
  KDXMLErrorElementTextIsNil = 7,
  KDXMLErrorAttributeIsNil = 8,
  KDXMLErrorAttributeNameIsNil = 9,
  KDXMLErrorAttributeNotFound = 10,
  KDXMLErrorParameterNameIsNil = 11,
};

class KDXML : public platform::Object, public std::enable_shared_from_this<KDXML> {
 public:
  using ElementBlock = std::function<void(const _KDXMLElement*)>;
  using AttributeBlock =
      std::function<void(const _KDXMLAttribute*, std::optional<std::string> name, std::optional<std::string> value)>;
  using SuccessBlock = std::function<void(std::shared_ptr<KDXML> document)>;
  using FailureBlock = std::function<void(std::shared_ptr<KDXML> document, platform::Error error)>;

  // init: an empty document (no copy, no records).
  KDXML();
  ~KDXML() override;
  KDXML(const KDXML&) = delete;
  KDXML& operator=(const KDXML&) = delete;

  std::string className() const override { return "KDXML"; }

  // ---- Building from memory. Every initialiser returns the document even
  // when decoding failed; failure is reported only through `error` (codes 0,
  // 1 and 2), so a caller that wants to know passes one or tests
  // rootXMLElement(). A document holds one decoded input: decoding again
  // first releases everything the previous decoding made.

  // The string's UTF-8 bytes, parsed in place.
  KDXML& initWithXMLString(std::string_view text, platform::Error* error = nullptr);
  // The buffer's bytes, unchanged (a byte-order mark is just bytes).
  KDXML& initWithXMLData(const platform::Data& data, platform::Error* error = nullptr);
  // Copies the bytes and parses them into this document.
  void decodeData(const platform::Data& data, platform::Error* error = nullptr);

  static std::unique_ptr<KDXML> kdxmlWithXMLString(std::string_view text, platform::Error* error = nullptr);
  static std::unique_ptr<KDXML> kdxmlWithXMLData(const platform::Data& data, platform::Error* error = nullptr);

  // ---- Loaders.

  // A resource of the application, the name carrying its extension
  // ("reply.xml", or "reply.xml.gz" for a gzip-compressed one).
  KDXML& initWithXMLFile(const std::string& name, platform::Error* error = nullptr);
  // The resource `name` of type `extension`; code 3 with the file-path entry
  // when there is none. A ".gz" resource is decompressed first.
  KDXML& initWithXMLFile(const std::string& name, const std::string& extension, platform::Error* error = nullptr);
  static std::unique_ptr<KDXML> kdxmlWithXMLFile(const std::string& name, platform::Error* error = nullptr);
  static std::unique_ptr<KDXML> kdxmlWithXMLFile(const std::string& name, const std::string& extension,
                                                 platform::Error* error = nullptr);

  // Fetches `url` with a GET on a worker thread and decodes the reply body
  // whatever the HTTP status; then exactly one of `success` and `failure`
  // runs, once, on that worker thread: failure with the platform's error
  // when the exchange failed, or with code 0 or 1 when the body is empty or
  // holds no element. The request keeps the document alive until then, so
  // the document must be owned by a std::shared_ptr (kdxmlWithURL makes it
  // so); otherwise nothing is sent and `failure` runs at once with no
  // document and code -1. Read the document only once `success` has run.
  // An empty callback is skipped.
  void initWithURL(const std::string& url, SuccessBlock success, FailureBlock failure);
  // A new document, still empty, that initWithURL fills in the background.
  static std::shared_ptr<KDXML> kdxmlWithURL(const std::string& url, SuccessBlock success, FailureBlock failure);

  // ---- The tree.

  // The record of the first start tag, or null.
  const _KDXMLElement* rootXMLElement() const { return rootXMLElement_; }
  // The newest chunks of records (null until the first record), and the
  // index in them of the record handed out last. Records of the newest chunk
  // after that index have not been handed out and must not be read.
  const _KDXMLElementBuffer* currentElementBuffer() const { return currentElementBuffer_; }
  const _KDXMLAttributeBuffer* currentAttributeBuffer() const { return currentAttributeBuffer_; }
  std::int64_t currentElement() const { return currentElement_; }
  std::int64_t currentAttribute() const { return currentAttribute_; }

  // ---- Strings from records: UTF-8; bytes that are not valid UTF-8 give
  // nullopt (without an error). "" for an absent record or field.

  // Codes 4 (no element), 5 (name absent or empty).
  static std::optional<std::string> elementName(const _KDXMLElement* element, platform::Error* error = nullptr);
  // Codes 8 (no attribute), 9 (name absent); an empty name is no error.
  static std::optional<std::string> attributeName(const _KDXMLAttribute* attribute, platform::Error* error = nullptr);
  // Code 8 (no attribute).
  static std::optional<std::string> attributeValue(const _KDXMLAttribute* attribute, platform::Error* error = nullptr);
  // Codes 4 (no element), 7 (text absent or empty).
  static std::optional<std::string> textForElement(const _KDXMLElement* element, platform::Error* error = nullptr);

  // ---- Lookups by exact, case-sensitive name (a prefix is part of it).

  // The value of the element's first attribute of that name. Without `error`:
  // nullopt when the element is absent, the name is nullopt or nothing
  // matches. With `error`: "" and code 4 (no element), 9 (no name) or 10 (no
  // match, or the first match's value is empty or not UTF-8).
  static std::optional<std::string> valueOfAttributeNamed(std::optional<std::string_view> name,
                                                          const _KDXMLElement* element,
                                                          platform::Error* error = nullptr);
  // The parent's first child of that name, or null; codes 4 (no parent),
  // 11 (no name), 6 (no match).
  static const _KDXMLElement* childElementNamed(std::optional<std::string_view> name,
                                                const _KDXMLElement* parentElement, platform::Error* error = nullptr);
  // The first element after `element` along nextSibling with that name (never
  // `element` itself), or null; codes 4, 11, 6 as above.
  static const _KDXMLElement* nextSiblingNamed(std::optional<std::string_view> name, const _KDXMLElement* element,
                                               platform::Error* error = nullptr);

  // ---- Walks.

  // Walks a dotted path from `fromElement`: a name selects the first child of
  // that name, "*" fans out over all children. The block then gets the
  // element reached and its following siblings of the last component's name
  // (any name for "*" or for a nullopt query, which has no components).
  static void iterateElementsForQuery(std::optional<std::string_view> query, const _KDXMLElement* fromElement,
                                      const ElementBlock& block);
  // Calls the block for each attribute in document order with the record,
  // its name and its value made as attributeName/attributeValue make them.
  static void iterateAttributesOfElement(const _KDXMLElement* element, const AttributeBlock& block);

  // ---- Errors.

  // The message of a code; "No Error Description!" for an unknown one.
  static std::string errorTextForCode(std::int32_t code);
  // An error of the reader's domain whose user info holds only the message.
  static platform::Error errorWithCode(std::int32_t code);
  // The same with a copy of `userInfo` whose description is set to the message.
  static platform::Error errorWithCode(std::int32_t code, const std::map<std::string, std::string>& userInfo);

 private:
  // Releases the copy and every chunk; the document is empty again.
  void reset();
  // Makes the copy of `length` bytes (+1 for the NUL); reports codes 0 and 2.
  // Returns false when an error was reported.
  bool allocateBytesOfLength(std::int64_t length, platform::Error* error);
  // Parses the copy; false when a record chunk could not be had.
  bool decodeBytes();
  // Reads the attributes of a start tag into `element`; false as above.
  bool scanAttributes(_KDXMLElement* element, char* p, char* tagEnd);
  // Fresh zero-filled records, or null when memory ran out.
  _KDXMLElement* nextAvailableElement();
  _KDXMLAttribute* nextAvailableAttribute();
  // decodeData; true when it stored an error.
  bool decodeDataReporting(const platform::Data& data, platform::Error* error);

  const _KDXMLElement* rootXMLElement_ = nullptr;
  _KDXMLElementBuffer* currentElementBuffer_ = nullptr;
  _KDXMLAttributeBuffer* currentAttributeBuffer_ = nullptr;
  std::int64_t currentElement_ = 0;
  std::int64_t currentAttribute_ = 0;
  char* bytes_ = nullptr;  // view of bytesOwner_
  std::int64_t bytesLength_ = 0;

  // Owners: the copy; the first chunk of each kind, kept inside the
  // document; the later chunks of each kind.
  std::unique_ptr<char[]> bytesOwner_;
  detail::KDXMLElementChunk firstElementChunk_;
  detail::KDXMLAttributeChunk firstAttributeChunk_;
  detail::KDXMLChunkSlabs<detail::KDXMLElementChunk> elementSlabs_;
  detail::KDXMLChunkSlabs<detail::KDXMLAttributeChunk> attributeSlabs_;
};

}  // namespace xml
