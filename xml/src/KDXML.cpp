// The document model and the in-place parser.
//
// Bounds: the input is the copy up to its first NUL, its end (the copy always
// has one, at index bytesLength_). Every NUL the parser writes lies behind
// its cursor, so from the cursor on the first NUL is the input's end. The
// common scans stop at NUL by themselves, and their 16-byte loads stay
// inside the copy; the rare steps that need the end as a pointer (comments,
// CDATA sections, tags left to the exact path) find it once and then search
// within it. Every write and move stays inside the input; the NUL at its end
// is never touched.

#include "xml/KDXML.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xml {

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

// The first c in [p, end), or null.
inline char* findByte(char* p, char* end, char c) { return static_cast<char*>(std::memchr(p, c, remaining(p, end))); }

// The first '<' at or after p, or null when a NUL comes first. `limit` is
// the copy's own terminating NUL, so the input's end (its first NUL) needs
// no separate scan: reading 16 bytes at a time stays inside the copy.
inline char* findTagOpen(char* p, const char* limit) {
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i nul = _mm_setzero_si128();
  while (limit - p >= 15) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, nul)));
    if (mask != 0) {
      p += __builtin_ctz(static_cast<unsigned>(mask));
      return *p == '<' ? p : nullptr;
    }
    p += 16;
  }
#else
  (void)limit;
#endif
  for (;; ++p) {
    if (*p == '<') return p;
    if (*p == '\0') return nullptr;
  }
}

// Whether the bytes at p begin a CDATA section; reads nothing after a NUL.
inline bool beginsCDATA(const char* p) {
  for (std::size_t i = 0; i < kCDATAOpenLength; ++i) {
    if (p[i] != kCDATAOpen[i]) return false;
  }
  return true;
}

inline char* findLiteral(char* p, char* end, const char* literal, std::size_t length) {
  if (p >= end) return nullptr;
  return static_cast<char*>(::memmem(p, remaining(p, end), literal, length));
}

// The first of two bytes in [p, end), or null.
inline char* findEither(char* p, const char* end, char a, char b) {
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

// Byte classes for the scans inside a tag. Inside a tag, every byte before
// the tag's end is not NUL and the tag's end has been overwritten with NUL,
// so a scan that also stops at NUL needs no bounds check.
enum : std::uint8_t {
  kSpaceClass = 1,             // the six whitespace bytes
  kElementNameEndClass = 2,    // space, '/', line feed; NUL
  kAttributeNameEndClass = 4,  // whitespace, '='; NUL
  kQuoteClass = 8,             // '"', '\''; NUL
  kDoubleQuotedEndClass = 16,  // '"', '<'; NUL
  kSingleQuotedEndClass = 32,  // '\'', '<'; NUL
};

struct ByteClasses {
  std::uint8_t of[256] = {};
  constexpr ByteClasses() {
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) of[c] |= kSpaceClass | kAttributeNameEndClass;
    for (unsigned char c : {' ', '/', '\n', '\0'}) of[c] |= kElementNameEndClass;
    for (unsigned char c : {'=', '\0'}) of[c] |= kAttributeNameEndClass;
    for (unsigned char c : {'"', '\'', '\0'}) of[c] |= kQuoteClass;
    for (unsigned char c : {'"', '<', '\0'}) of[c] |= kDoubleQuotedEndClass;
    for (unsigned char c : {'\'', '<', '\0'}) of[c] |= kSingleQuotedEndClass;
  }
  bool is(char c, std::uint8_t byteClass) const { return (of[static_cast<unsigned char>(c)] & byteClass) != 0; }
};

constexpr ByteClasses kClasses;

// The first byte at or after p of the class, or of NUL; four bytes a round.
// It reads nothing after the first NUL.
inline char* skipUntil(char* p, std::uint8_t byteClass) {
  for (;;) {
    if (kClasses.is(p[0], byteClass)) return p;
    if (kClasses.is(p[1], byteClass)) return p + 1;
    if (kClasses.is(p[2], byteClass)) return p + 2;
    if (kClasses.is(p[3], byteClass)) return p + 3;
    p += 4;
  }
}

// Byte classes for reading a whole tag in one pass, before its end is known.
// Each class also holds '<', '>' and NUL, where such a pass stops: the first
// '<' or '>' is the tag's end, and NUL is the end of the input.
enum : std::uint8_t {
  kDelimiterClass = 1,           // '<', '>', NUL
  kNameOrEndClass = 2,           // space, '/', line feed
  kSpaceOnlyClass = 4,           // the six whitespace bytes (no delimiter)
  kAttributeNameOrEndClass = 8,  // whitespace, '='
  kQuoteOrEndClass = 16,         // '"', '\''
  kDoubleQuotedOrEndClass = 32,  // '"'
  kSingleQuotedOrEndClass = 64,  // '\''
};

struct TagByteClasses {
  std::uint8_t of[256] = {};
  constexpr TagByteClasses() {
    for (unsigned char c : {'<', '>', '\0'}) {
      of[c] |= kDelimiterClass | kNameOrEndClass | kAttributeNameOrEndClass | kQuoteOrEndClass |
               kDoubleQuotedOrEndClass | kSingleQuotedOrEndClass;
    }
    for (unsigned char c : {' ', '/', '\n'}) of[c] |= kNameOrEndClass;
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) of[c] |= kSpaceOnlyClass | kAttributeNameOrEndClass;
    of[static_cast<int>('=')] |= kAttributeNameOrEndClass;
    for (unsigned char c : {'"', '\''}) of[c] |= kQuoteOrEndClass;
    of[static_cast<int>('"')] |= kDoubleQuotedOrEndClass;
    of[static_cast<int>('\'')] |= kSingleQuotedOrEndClass;
  }
  bool is(char c, std::uint8_t byteClass) const { return (of[static_cast<unsigned char>(c)] & byteClass) != 0; }
};

constexpr TagByteClasses kTagClasses;

// As skipUntil, with the classes above.
inline char* skipUntilInTag(char* p, std::uint8_t byteClass) {
  for (;;) {
    if (kTagClasses.is(p[0], byteClass)) return p;
    if (kTagClasses.is(p[1], byteClass)) return p + 1;
    if (kTagClasses.is(p[2], byteClass)) return p + 2;
    if (kTagClasses.is(p[3], byteClass)) return p + 3;
    p += 4;
  }
}

// An attribute found by the one-pass reading, not yet written.
struct PendingAttribute {
  char* name;
  char* nameEnd;  // whitespace or '=' after the name
  char* openQuote;
  char* closeQuote;
};

constexpr int kMaxPendingAttributes = 16;

// A delimiter where the one-pass reading stopped: the tag's end, or null
// when the reading must leave the tag to the exact path (the end of the
// input, or a '<' that begins a CDATA section).
inline char* tagEndAt(char* p) {
  if (*p == '>') return p;
  if (*p == '<' && !beginsCDATA(p)) return p;
  return nullptr;
}

// Reads a start tag whose name starts at p in one pass, the attribute scanner
// included, and writes nothing: the steps are the same as once the tag's end
// is known, since no '<' or '>' can lie before that end. Returns the tag's
// end with the element name's end (or null) and the attributes found; null
// when the tag is left to the exact path (see tagEndAt, or more attributes
// than kMaxPendingAttributes).
inline char* readStartTag(char* p, char*& nameEnd, PendingAttribute* pending, int& count) {
  count = 0;
  nameEnd = nullptr;
  p = skipUntilInTag(p, kNameOrEndClass);
  if (kTagClasses.is(*p, kDelimiterClass)) return tagEndAt(p);
  nameEnd = p++;
  for (;;) {
    while (kTagClasses.is(*p, kSpaceOnlyClass)) ++p;  // state 0
    if (kTagClasses.is(*p, kDelimiterClass)) return tagEndAt(p);
    char* name = p++;
    p = skipUntilInTag(p, kAttributeNameOrEndClass);  // state 1
    if (kTagClasses.is(*p, kDelimiterClass)) return tagEndAt(p);
    char* nameStop = p++;
    p = skipUntilInTag(p, kQuoteOrEndClass);  // state 2
    if (kTagClasses.is(*p, kDelimiterClass)) return tagEndAt(p);
    char* openQuote = p++;
    p = skipUntilInTag(p, *openQuote == '"' ? kDoubleQuotedOrEndClass : kSingleQuotedOrEndClass);  // state 3
    if (kTagClasses.is(*p, kDelimiterClass)) return tagEndAt(p);
    if (count == kMaxPendingAttributes) return nullptr;
    pending[count++] = {name, nameStop, openQuote, p};
    ++p;
  }
}

// The end of an element name: the first space, '/' or line feed in
// [p, tagEnd), or null.
inline char* findNameEnd(char* p, const char* tagEnd) {
  for (; p < tagEnd; ++p) {
    if (kClasses.is(*p, kElementNameEndClass)) return p;
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

// Hands out a fresh, zero-filled record when the newest chunk is full or
// there is none. The first chunk is `embedded` (a member of the document, so
// that a short reply costs no allocation for it); later ones come from
// `slabs`, blocks of chunks that grow from 1 to kMaxChunksPerSlab chunks, so
// that a large document needs few allocations. Null when memory for a chunk
// ran out (the index is then left as it was).
template <typename Chunk, typename Header, typename Record>
[[gnu::noinline]] Record* nextRecordInNewChunk(Chunk& embedded, detail::KDXMLChunkSlabs<Chunk>& slabs, Header*& current,
                                               std::int64_t& index, Record* Header::*array, Record** first) {
  Chunk* chunk = &embedded;
  if (current != nullptr) {
    if (slabs.next == slabs.end) {
      const std::size_t count = std::min<std::size_t>(std::size_t{1} << std::min<std::size_t>(slabs.slabs.size(), 16),
                                                      detail::kMaxChunksPerSlab);
      std::unique_ptr<Chunk[]> slab(new (std::nothrow) Chunk[count]);
      if (!slab) return nullptr;
      try {
        slabs.slabs.push_back(std::move(slab));
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      slabs.next = slabs.slabs.back().get();
      slabs.end = slabs.next + count;
    }
    chunk = slabs.next++;
    chunk->header = Header{};
    current->next = &chunk->header;
    chunk->header.previous = current;
  } else if (first != nullptr) {
    *first = &chunk->records[0];
  }
  chunk->header.*array = chunk->records;
  current = &chunk->header;
  index = 0;
  chunk->records[0] = Record{};
  return &chunk->records[0];
}

}  // namespace

KDXML::KDXML() = default;

KDXML::~KDXML() { reset(); }

void KDXML::reset() {
  elementSlabs_ = {};
  attributeSlabs_ = {};
  firstElementChunk_.header = {};
  firstAttributeChunk_.header = {};
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
  if (currentElementBuffer_ != nullptr && currentElement_ + 1 < kKDXMLRecordsPerBuffer) {
    _KDXMLElement* record = &currentElementBuffer_->elements[++currentElement_];
    *record = _KDXMLElement{};
    return record;
  }
  _KDXMLElement* root = nullptr;
  _KDXMLElement* record = nextRecordInNewChunk(firstElementChunk_, elementSlabs_, currentElementBuffer_,
                                               currentElement_, &_KDXMLElementBuffer::elements, &root);
  if (root != nullptr) rootXMLElement_ = root;
  return record;
}

_KDXMLAttribute* KDXML::nextAvailableAttribute() {
  if (currentAttributeBuffer_ != nullptr && currentAttribute_ + 1 < kKDXMLRecordsPerBuffer) {
    _KDXMLAttribute* record = &currentAttributeBuffer_->attributes[++currentAttribute_];
    *record = _KDXMLAttribute{};
    return record;
  }
  return nextRecordInNewChunk<detail::KDXMLAttributeChunk, _KDXMLAttributeBuffer, _KDXMLAttribute>(
      firstAttributeChunk_, attributeSlabs_, currentAttributeBuffer_, currentAttribute_,
      &_KDXMLAttributeBuffer::attributes, nullptr);
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

// The attribute scanner over [p, tagEnd), whose byte at tagEnd is NUL. It
// is a state machine -- 0 between attributes, 1 in a name, 2 before a value,
// 3 in a value, 4 in a CDATA section inside a value -- written as one loop
// per state. An attribute exists only once its closing quote has been read.
// False when no attribute record could be had.
bool KDXML::scanAttributes(_KDXMLElement* element, char* p, char* tagEnd) {
  _KDXMLAttribute* previous = nullptr;
  for (;;) {
    // State 0: whitespace is skipped; any other byte starts a name.
    while (kClasses.is(*p, kSpaceClass)) ++p;
    if (p >= tagEnd) return true;
    char* name = p++;
    // State 1: whitespace or '=' ends the name.
    p = skipUntil(p, kAttributeNameEndClass);
    if (p >= tagEnd) return true;
    *p++ = '\0';
    // State 2: everything up to a quote is skipped.
    p = skipUntil(p, kQuoteClass);
    if (p >= tagEnd) return true;
    const char quote = *p++;
    char* value = p;
    bool hasCDATA = false;
    // States 3 and 4: the value runs to its own quote; a CDATA section in
    // it may hold anything up to its "]]>".
    const std::uint8_t valueEnd = quote == '"' ? kDoubleQuotedEndClass : kSingleQuotedEndClass;
    for (;;) {
      p = skipUntil(p, valueEnd);
      if (p >= tagEnd) return true;
      if (*p == quote) break;
      if (beginsWith(p, tagEnd, kCDATAOpen, kCDATAOpenLength)) {
        char* close = findLiteral(p + kCDATAOpenLength, tagEnd, kCDATAClose, kCDATACloseLength);
        if (close == nullptr) return true;  // still inside the section at the tag's end
        hasCDATA = true;
        p = close + kCDATACloseLength;
      } else {
        ++p;
      }
    }
    *p++ = '\0';
    if (hasCDATA) removeValueCDATA(value, p - 1);
    _KDXMLAttribute* attribute = nextAvailableAttribute();
    if (attribute == nullptr) return false;
    attribute->name = name;
    attribute->value = value;
    if (element->firstAttribute == nullptr) element->firstAttribute = attribute;
    if (previous != nullptr) previous->next = attribute;
    previous = attribute;
  }
}

bool KDXML::decodeBytes() {
  // The input ends at the first NUL of the copy. The common steps stop at
  // NUL by themselves; the rare ones that need the end as a pointer (comments,
  // CDATA sections, tags the one-pass reading leaves) find it once, from a
  // point that no NUL written by the parser lies beyond.
  const char* const limit = bytes_ + bytesLength_;
  char* end = nullptr;
  const auto inputEnd = [&end](char* from) {
    if (end == nullptr) end = from + std::strlen(from);
    return end;
  };
  char* cursor = bytes_;
  _KDXMLElement* parent = nullptr;
  // The text of the current parent ends at the '<' of the first tag after
  // its start tag. Remembering where saves a scan when the text is trimmed.
  _KDXMLElement* textOwner = nullptr;
  char* textEnd = nullptr;
  bool textOpen = false;

  for (;;) {
    // Tags often follow each other directly.
    char* open = *cursor == '<' ? cursor : findTagOpen(cursor, limit);
    if (open == nullptr) return true;

    // A comment stays in place, part of whatever text runs over it. The
    // search for its end starts at the '<', so "<!-->" is a whole comment.
    if (open[1] == '!') {
      if (open[2] == '-' && open[3] == '-') {
        char* close = findLiteral(open, inputEnd(open), kCommentClose, 3);
        if (close == nullptr) return true;  // unterminated: nothing more to read
        cursor = close + 3;
        continue;
      }
      if (beginsCDATA(open)) {
        cursor = unwrapCDATA(open, inputEnd(open));
        if (cursor == nullptr) return true;
        continue;
      }
    }

    // The common tags are read in one pass; the exact path below serves
    // what that pass leaves (see readStartTag), with the same outcome.
    const char kind = open[1];
    char* tagEnd;
    char* nameEnd = nullptr;
    PendingAttribute pending[kMaxPendingAttributes];
    int pendingCount = -1;  // -1: the attributes are still to be scanned
    if (kind == '/' || kind == '?' || kind == '!') {
      tagEnd = tagEndAt(skipUntilInTag(open + 1, kDelimiterClass));
    } else {
      tagEnd = readStartTag(open + 1, nameEnd, pending, pendingCount);
      if (tagEnd == nullptr) pendingCount = -1;
    }
    if (tagEnd == nullptr) {
      tagEnd = findTagEnd(open + 1, inputEnd(open));
      if (tagEnd == nullptr) return true;
      if (pendingCount < 0) nameEnd = findNameEnd(open + 1, tagEnd);
    }
    // Both NULs lie behind the new cursor; the one at the '<' ends whatever
    // text ran up to this tag.
    *tagEnd = '\0';
    *open = '\0';
    cursor = tagEnd + 1;
    if (textOpen) {
      textEnd = open;
      textOpen = false;
    }

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
      // The new parent has a first child, at least the element just closed,
      // so its text is cleared.
      parent = parent->parentElement;
      if (parent != nullptr) parent->text = nullptr;
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

    if (nameEnd != nullptr) {
      *nameEnd = '\0';
      if (pendingCount < 0) {
        if (!scanAttributes(element, nameEnd + 1, tagEnd)) return false;
      } else {
        _KDXMLAttribute* previous = nullptr;
        for (int i = 0; i < pendingCount; ++i) {
          *pending[i].nameEnd = '\0';
          *pending[i].closeQuote = '\0';
          _KDXMLAttribute* attribute = nextAvailableAttribute();
          if (attribute == nullptr) return false;
          attribute->name = pending[i].name;
          attribute->value = pending[i].openQuote + 1;
          if (previous != nullptr) {
            previous->next = attribute;
          } else {
            element->firstAttribute = attribute;
          }
          previous = attribute;
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
