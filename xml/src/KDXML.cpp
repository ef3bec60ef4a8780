// The document model and the in-place parser.
//
// Bounds: the parser works on [bytes_, end), where end is the first NUL of
// the copy (the copy always has one, at index bytesLength_). Every NUL the
// parser writes lies behind its cursor, so [cursor, end) never holds a NUL
// and every search can be a bounded memchr/memmem over it. Every write and
// move stays inside [bytes_, end); the NUL at end is never touched.

#include "xml/KDXML.h"

#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xml {

struct KDXML::ElementChunk {
  _KDXMLElementBuffer header{};
  _KDXMLElement records[kKDXMLRecordsPerBuffer]{};
  std::unique_ptr<ElementChunk> older;
};

struct KDXML::AttributeChunk {
  _KDXMLAttributeBuffer header{};
  _KDXMLAttribute records[kKDXMLRecordsPerBuffer]{};
  std::unique_ptr<AttributeChunk> older;
};

namespace {

constexpr char kCDATAOpen[] = "<![CDATA[";
constexpr std::size_t kCDATAOpenLength = 9;
constexpr char kCDATAClose[] = "]]>";
constexpr std::size_t kCDATACloseLength = 3;
constexpr char kCommentClose[] = "-->";
// Unwrapping one CDATA section removes its two markers, 9 + 3 bytes.
constexpr std::size_t kCDATAMarkersLength = kCDATAOpenLength + kCDATACloseLength;

// Space, tab, line feed, vertical tab, form feed, carriage return.
inline bool isSpace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

inline std::size_t remaining(const char* p, const char* end) { return static_cast<std::size_t>(end - p); }

inline bool beginsWith(const char* p, const char* end, const char* literal, std::size_t length) {
  return remaining(p, end) >= length && std::memcmp(p, literal, length) == 0;
}

inline char* findByte(char* p, char* end, char c) {
  return static_cast<char*>(std::memchr(p, c, remaining(p, end)));
}

inline char* findLiteral(char* p, char* end, const char* literal, std::size_t length) {
  if (p >= end) return nullptr;
  return static_cast<char*>(::memmem(p, remaining(p, end), literal, length));
}

// The first of two bytes in [p, end), or null.
inline char* findEither(char* p, char* end, char a, char b) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a);
  const __m128i vb = _mm_set1_epi8(b);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    if (*p == a || *p == b) return p;
  }
  return nullptr;
}

// The end of the tag opened just before p: the first '<' or '>', where a
// '<' that begins a CDATA section is passed over together with everything up
// to its "]]>". Null when there is none, or when such a section never ends.
char* findTagEnd(char* p, char* end) {
  for (;;) {
    char* found = findEither(p, end, '<', '>');
    if (found == nullptr || *found == '>' || !beginsWith(found, end, kCDATAOpen, kCDATAOpenLength)) {
      return found;
    }
    char* close = findLiteral(found + kCDATAOpenLength, end, kCDATAClose, kCDATACloseLength);
    if (close == nullptr) return nullptr;
    p = close + kCDATACloseLength;
  }
}

// The end of an element name: the first space, '/' or line feed in [p, end).
inline char* findNameEnd(char* p, char* end) {
  for (; p < end; ++p) {
    const char c = *p;
    if (c == ' ' || c == '/' || c == '\n') return p;
  }
  return nullptr;
}

// Unwraps the run of CDATA sections that starts at s (which begins
// "<![CDATA[") and goes on to the next '<' that is not one, N. Each
// section's content takes the place of the section, the bytes between the
// sections and up to N follow it directly, and the 12 bytes each section's
// markers freed are filled with spaces just before N. This is the outcome of
// unwrapping the sections one at a time, each moving the rest up to N 12
// bytes to the left, done in one pass so a long run costs linear time.
//
// Returns the cursor (just after the last content moved), or null when
// parsing must stop: the first section is unterminated (nothing is moved),
// or a later one is (the ones before it are unwrapped up to the end of the
// input). With no '<' after the run, N is the end of the input.
char* unwrapCDATA(char* s, char* end) {
  char* write = s;
  char* read = s;
  char* cursor = nullptr;
  std::size_t sections = 0;
  for (;;) {
    char* close = findLiteral(read + kCDATAOpenLength, end, kCDATAClose, kCDATACloseLength);
    if (close == nullptr) {
      if (sections == 0) return nullptr;
      const std::size_t rest = remaining(read, end);
      std::memmove(write, read, rest);
      std::memset(write + rest, ' ', sections * kCDATAMarkersLength);
      return nullptr;
    }
    char* content = read + kCDATAOpenLength;
    const std::size_t contentLength = remaining(content, close);
    std::memmove(write, content, contentLength);
    write += contentLength;
    cursor = write;
    ++sections;
    read = close + kCDATACloseLength;
    char* next = findByte(read, end, '<');
    char* stop = next != nullptr ? next : end;
    const std::size_t between = remaining(read, stop);
    std::memmove(write, read, between);
    write += between;
    if (next != nullptr && beginsWith(next, end, kCDATAOpen, kCDATAOpenLength)) {
      read = next;
      continue;
    }
    std::memset(write, ' ', remaining(write, stop));
    return cursor;
  }
}

// Removes every "<![CDATA[" of the NUL-terminated value [value, valueEnd)
// together with the first "]]>" after it; the rest of the value, with its
// NUL, moves left each time. Removing a marker can only make a new one
// across the joint, so each search restarts 8 bytes before it.
void removeValueCDATA(char* value, char* valueEnd) {
  char* from = value;
  for (;;) {
    char* open = findLiteral(from, valueEnd, kCDATAOpen, kCDATAOpenLength);
    if (open == nullptr) return;
    std::memmove(open, open + kCDATAOpenLength, remaining(open + kCDATAOpenLength, valueEnd) + 1);
    valueEnd -= kCDATAOpenLength;
    char* close = findLiteral(open, valueEnd, kCDATAClose, kCDATACloseLength);
    if (close == nullptr) return;  // an unterminated section keeps its content
    std::memmove(close, close + kCDATACloseLength, remaining(close + kCDATACloseLength, valueEnd) + 1);
    valueEnd -= kCDATACloseLength;
    from = remaining(value, open) > kCDATAOpenLength - 1 ? open - (kCDATAOpenLength - 1) : value;
  }
}

// Hands out a fresh record from the newest chunk, making a new chunk of
// kKDXMLRecordsPerBuffer zero-filled records when needed; null when memory
// for a chunk ran out (the index is then left as it was).
template <typename Chunk, typename Header, typename Record>
Record* nextRecord(std::unique_ptr<Chunk>& newest, Header*& current, std::int64_t& index,
                   Record* Header::*array, Record** first) {
  ++index;
  if (current == nullptr || index >= kKDXMLRecordsPerBuffer) {
    std::unique_ptr<Chunk> chunk(new (std::nothrow) Chunk());
    if (!chunk) {
      --index;
      return nullptr;
    }
    chunk->header.*array = chunk->records;
    if (current != nullptr) {
      current->next = &chunk->header;
      chunk->header.previous = current;
    } else if (first != nullptr) {
      *first = &chunk->records[0];
    }
    chunk->older = std::move(newest);
    newest = std::move(chunk);
    current = &newest->header;
    index = 0;
  }
  return &(current->*array)[index];
}

// Frees a chain of chunks newest first, without recursing through the
// owners (a large document has thousands of chunks).
template <typename Chunk>
void releaseChunks(std::unique_ptr<Chunk>& newest) {
  while (newest) {
    std::unique_ptr<Chunk> older = std::move(newest->older);
    newest = std::move(older);
  }
}

}  // namespace

KDXML::KDXML() = default;

KDXML::~KDXML() { reset(); }

void KDXML::reset() {
  releaseChunks(elementChunks_);
  releaseChunks(attributeChunks_);
  bytesOwner_.reset();
  rootXMLElement_ = nullptr;
  currentElementBuffer_ = nullptr;
  currentAttributeBuffer_ = nullptr;
  currentElement_ = 0;
  currentAttribute_ = 0;
  bytes_ = nullptr;
  bytesLength_ = 0;
}

_KDXMLElement* KDXML::nextAvailableElement() {
  _KDXMLElement* root = nullptr;
  _KDXMLElement* record = nextRecord(elementChunks_, currentElementBuffer_, currentElement_,
                                     &_KDXMLElementBuffer::elements, &root);
  if (root != nullptr) rootXMLElement_ = root;
  return record;
}

_KDXMLAttribute* KDXML::nextAvailableAttribute() {
  return nextRecord<AttributeChunk, _KDXMLAttributeBuffer, _KDXMLAttribute>(
      attributeChunks_, currentAttributeBuffer_, currentAttribute_, &_KDXMLAttributeBuffer::attributes,
      nullptr);
}

bool KDXML::allocateBytesOfLength(std::int64_t length, platform::Error* error) {
  bool reported = false;
  bytesLength_ = length;
  if (length == 0) {
    if (error != nullptr) *error = errorWithCode(KDXMLErrorDataIsNil);
    reported = error != nullptr;
  }
  bytesOwner_.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
  bytes_ = bytesOwner_.get();
  if (bytes_ == nullptr) {
    if (error != nullptr) *error = errorWithCode(KDXMLErrorOutOfMemory);
    reported = error != nullptr;
  }
  return !reported;
}

bool KDXML::decodeBytes() {
  char* const end = bytes_ + ::strnlen(bytes_, static_cast<std::size_t>(bytesLength_));
  char* cursor = bytes_;
  _KDXMLElement* parent = nullptr;
  // The text of the current parent ends at the '<' of the first tag after
  // its start tag. Remembering where saves a scan when the text is trimmed.
  _KDXMLElement* textOwner = nullptr;
  char* textEnd = nullptr;
  bool textOpen = false;

  for (;;) {
    char* open = findByte(cursor, end, '<');
    if (open == nullptr) return true;

    // A comment stays in place, part of whatever text runs over it. The
    // search for its end starts at the '<', so "<!-->" is a whole comment.
    if (remaining(open, end) >= 4 && open[1] == '!' && open[2] == '-' && open[3] == '-') {
      char* close = findLiteral(open, end, kCommentClose, 3);
      if (close == nullptr) return true;  // unterminated: nothing more to read
      cursor = close + 3;
      continue;
    }

    if (beginsWith(open, end, kCDATAOpen, kCDATAOpenLength)) {
      cursor = unwrapCDATA(open, end);
      if (cursor == nullptr) return true;
      continue;
    }

    char* tagEnd = findTagEnd(open + 1, end);
    if (tagEnd == nullptr) return true;
    // Both NULs lie behind the new cursor; the one at the '<' ends whatever
    // text ran up to this tag.
    *tagEnd = '\0';
    *open = '\0';
    cursor = tagEnd + 1;
    if (textOpen) {
      textEnd = open;
      textOpen = false;
    }

    const char kind = open[1];
    if (kind == '!' || kind == '?') continue;

    if (kind == '/') {
      // A closing tag closes the current parent whatever its name.
      if (parent == nullptr) continue;
      if (parent->text != nullptr) {
        char* first = parent->text;
        char* last = parent == textOwner && textEnd != nullptr ? textEnd : first + std::strlen(first);
        while (first < last && isSpace(static_cast<unsigned char>(*first))) ++first;
        parent->text = first;
        while (last > first && isSpace(static_cast<unsigned char>(last[-1]))) *--last = '\0';
      }
      parent = parent->parentElement;
      if (parent != nullptr && parent->firstChild != nullptr) parent->text = nullptr;
      continue;
    }

    // A start tag.
    _KDXMLElement* element = nextAvailableElement();
    if (element == nullptr) return false;
    element->name = open + 1;
    const bool selfClosing = tagEnd[-1] == '/';
    if (parent != nullptr) {
      if (parent->lastChild != nullptr) {
        parent->lastChild->nextSibling = element;
        element->previousSibling = parent->lastChild;
      } else {
        parent->firstChild = element;
      }
      parent->lastChild = element;
      element->parentElement = parent;
    }

    if (char* nameEnd = findNameEnd(open + 1, tagEnd); nameEnd != nullptr) {
      *nameEnd = '\0';
      // The attribute scanner: 0 between attributes, 1 in a name, 2 before a
      // value, 3 in a value, 4 in a CDATA section inside a value. An
      // attribute exists only once its closing quote has been read.
      int state = 0;
      char* name = nullptr;
      char* value = nullptr;
      char quote = 0;
      bool valueHasCDATA = false;
      _KDXMLAttribute* previous = nullptr;
      char* p = nameEnd + 1;
      while (p < tagEnd) {
        const unsigned char c = static_cast<unsigned char>(*p);
        switch (state) {
          case 0:
            if (!isSpace(c)) {
              name = p;
              state = 1;
            }
            ++p;
            break;
          case 1:
            if (isSpace(c) || c == '=') {
              *p = '\0';
              state = 2;
            }
            ++p;
            break;
          case 2:
            if (c == '"' || c == '\'') {
              quote = static_cast<char>(c);
              value = p + 1;
              valueHasCDATA = false;
              state = 3;
            }
            ++p;
            break;
          case 3: {
            // Jump to the next byte that matters: the closing quote or a '<'.
            char* stop = findEither(p, tagEnd, quote, '<');
            if (stop == nullptr) {
              p = tagEnd;  // the value is still open at the end of the tag
              break;
            }
            p = stop;
            if (*p == '<') {
              if (beginsWith(p, tagEnd, kCDATAOpen, kCDATAOpenLength)) {
                valueHasCDATA = true;
                state = 4;
                p += kCDATAOpenLength;
              } else {
                ++p;
              }
              break;
            }
            *p = '\0';
            if (valueHasCDATA) removeValueCDATA(value, p);
            _KDXMLAttribute* attribute = nextAvailableAttribute();
            if (attribute == nullptr) return false;
            attribute->name = name;
            attribute->value = value;
            if (element->firstAttribute == nullptr) element->firstAttribute = attribute;
            if (previous != nullptr) previous->next = attribute;
            previous = attribute;
            state = 0;
            ++p;
            break;
          }
          case 4: {
            char* close = findLiteral(p, tagEnd, kCDATAClose, kCDATACloseLength);
            if (close == nullptr) {
              p = tagEnd;
            } else {
              p = close + kCDATACloseLength;
              state = 3;
            }
            break;
          }
        }
      }
    }

    if (selfClosing) continue;
    element->text = tagEnd + 1;
    parent = element;
    textOwner = element;
    textEnd = nullptr;
    textOpen = true;
  }
}

bool KDXML::decodeDataReporting(const platform::Data& data, platform::Error* error) {
  reset();
  if (!allocateBytesOfLength(static_cast<std::int64_t>(data.size()), error)) return true;
  if (bytes_ == nullptr) return false;
  if (!data.empty()) std::memcpy(bytes_, data.data(), data.size());
  bytes_[data.size()] = '\0';
  if (!decodeBytes()) {
    if (error != nullptr) *error = errorWithCode(KDXMLErrorOutOfMemory);
    return error != nullptr;
  }
  if (error != nullptr && rootXMLElement_ == nullptr) {
    *error = errorWithCode(KDXMLErrorDecodeFailure);
    return true;
  }
  return false;
}

void KDXML::decodeData(const platform::Data& data, platform::Error* error) { decodeDataReporting(data, error); }

KDXML& KDXML::initWithXMLData(const platform::Data& data, platform::Error* error) {
  decodeDataReporting(data, error);
  return *this;
}

KDXML& KDXML::initWithXMLString(std::string_view text, platform::Error* error) {
  reset();
  if (!allocateBytesOfLength(static_cast<std::int64_t>(text.size()), error) || bytes_ == nullptr) return *this;
  if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
  bytes_[text.size()] = '\0';
  if (!decodeBytes()) {
    if (error != nullptr) *error = errorWithCode(KDXMLErrorOutOfMemory);
    return *this;
  }
  if (error != nullptr && rootXMLElement_ == nullptr) *error = errorWithCode(KDXMLErrorDecodeFailure);
  return *this;
}

std::unique_ptr<KDXML> KDXML::kdxmlWithXMLString(std::string_view text, platform::Error* error) {
  std::unique_ptr<KDXML> document(new (std::nothrow) KDXML());
  if (document) document->initWithXMLString(text, error);
  return document;
}

std::unique_ptr<KDXML> KDXML::kdxmlWithXMLData(const platform::Data& data, platform::Error* error) {
  std::unique_ptr<KDXML> document(new (std::nothrow) KDXML());
  if (document) document->initWithXMLData(data, error);
  return document;
}

}  // namespace xml
