// The parser against a plain model of its rules (reference_parser.h) on
// hand-picked, random (mostly malformed) and large inputs; then what the
// model does not cover: error codes, record chunks and running out of
// memory. This file replaces the non-throwing operator new of the test
// executable: once armed on a thread, the Nth such allocation fails.

#include <gtest/gtest.h>

#include <new>
#include <random>
#include <string>

#include "reference_parser.h"
#include "xml/KDXML.h"

namespace {
thread_local int allocationsBeforeFailure = -1;  // -1: never fail

// The memory allocate gives, or nothing for the allocation armed to fail.
template <class Allocate>
void* unlessArmedToFail(Allocate allocate) noexcept {
  if (allocationsBeforeFailure >= 0 && allocationsBeforeFailure-- == 0) return nullptr;
  try {
    return allocate();
  } catch (...) {
    return nullptr;
  }
}
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return unlessArmedToFail([size] { return ::operator new(size); });
}

// The array form takes its memory from the array operator, so that the
// delete[] that frees it matches (the address sanitizer checks the pair).
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return unlessArmedToFail([size] { return ::operator new[](size); });
}

namespace {

using xml::KDXML;

std::string compare(const std::string& input) {
  return reference::difference(input, *KDXML::kdxmlWithXMLString(input));
}

// Pieces of random inputs; one index past the end stands for a NUL byte.
// clang-format off
const char* const pieces[] = {
    "<a", "<b ", "<ns:c\t", "<", ">", "/>", " />", "</a>", "</", "<!--", "-->", "<!-->", "<![CDATA[", "]]>",
    "<?xml version='1.0'?>", "<!DOCTYPE d>", " ", "  ", "\n", "\t", "\r\n", "\v", "=", " = ", "\"", "'", "x",
    "text", "&amp;", "/", "<<", "]]", "--", "]", "\xC3\xA9", " k='v'", " k=\"v w\"", " q=1", " e=''",
    " many='1' many='2' many='3' many='4' many='5' many='6' many='7' many='8' many='9'",
    " long=\"0123456789012345678901234567890123456789012345678901234567890123456789\"",
    "<averyveryveryveryveryveryveryveryveryveryveryveryveryveryverylongname", " v='<![CDATA[a>b]]>'",
    " w=\"<![CDATA[<]]><![CDATA[\"]]>\"", "<r>", "</r>", "<e/>"};
// clang-format on
constexpr int kPieces = sizeof pieces / sizeof pieces[0];

TEST(KDXMLModel, hand_picked_random_and_large_inputs_match_the_model) {
  // clang-format off
  for (const char* input : {
          "<a>x</a>", "<a>\t\r\n\v\f x y \f\v\n\r\t</a>", "<a>\xC2\xA0x\xC2\xA0</a>", "<a>  open  ",
          "<r><a/><b x='1'/>t<c>u</c></r>", "<p>lead<a>1</a>mid<b>2</b>tail</p>", "<a> x <b/> y </a>",
          "<a one=\"1\" two='2' three = \"3\"\nfour\t=\t'it\"s' dup='x' dup=\"y\">t</a>", "<a z=3 w='4'/>",
          "<a x='1' k=v>t</a>", "<a x='1' k='v>t</a>", "<a x=\"1>2\" y='3'>t</a>",
          "<a x=\"<![CDATA[1>2 <b> \"q\"]]>!\" y='<![CDATA[a]]>b<![CDATA[c]]>'>t</a>", "<a\tx=\"1\" y=\"2\">t</a>",
          "<a\r\nx=\"1\">t</a>", "<>x</>", "<a>p<![CDATA[q]]>r<![CDATA[s]]>t<c/>", "<a><![CDATA[<x>]]><b/></a>",
          "<a><![CDATA[1<![CDATA[2]]>3]]></a>", "<a><![CDATA[1]]>2<![CDATA[3", "<a><![CDATA[x]]>y<![CDATA[z</a>",
          "<a x=\"<![CDATA[1<![CDATA[2]]>3\">t</a>", "<a x='<<![CDATA[![CDATA[]]>]]>'/>",
          "<r><a x=\"<![CDATA[>\"/></r>", "<a>x<!-- <b>c</b> -->y</a>", "<a><!-->x</a>", "<a>x<!-- never <b/>",
          "</stray><a><b>x</c><d/></a>trailing</z>", "<a/><b><c>1</c></b>", "<a>t<", "<", "<!--", "<a", "<a>"}) {
    // clang-format on
    EXPECT_EQ(compare(input), "") << input;
  }
  std::mt19937 random(7u);
  for (int i = 0; i < 30000; ++i) {
    std::string input;
    for (int n = std::uniform_int_distribution<int>(1, 40)(random); n > 0; --n) {
      const int which = std::uniform_int_distribution<int>(0, kPieces)(random);
      input += which == kPieces ? std::string(1, '\0') : std::string(pieces[which]);
    }
    ASSERT_EQ(compare(input), "") << "input #" << i << ": " << input;
  }
  // 30,000 elements and 60,000 attributes: hundreds of chunks.
  std::string large = "<root>";
  for (int i = 0; i < 10000; ++i) {
    const std::string n = std::to_string(i);
    large += "<a i='" + n + "'><b j=\"" + n + "\" k='x'>" + n + "</b><c/></a>";
  }
  auto document = KDXML::kdxmlWithXMLString(large + "</root>");
  EXPECT_EQ(reference::difference(large + "</root>", *document), "");
  EXPECT_EQ(document->currentElementBuffer()->previous->next, document->currentElementBuffer());
}

TEST(KDXMLDecode, error_codes_chunks_and_what_is_left_after_each_kind_of_input_or_a_failed_allocation) {
  // Allocations: the copy, then element chunk 2 (the 101st element), then
  // attribute chunk 2 (the 101st attribute); 100 of each need none.
  const auto elements = [](int n) {
    std::string text = "<r>";
    for (int i = 1; i < n; ++i) text += "<e a='" + std::to_string(i) + "'/>";
    return text + "</r>";
  };
  struct Case {
    std::string input;
    int failing;  // which allocation fails, counted from 0; -1: none
    int code;     // -1: untouched (success)
    const char* root;
    int children;
  };
  for (const Case& c :
       {Case{"", -1, 0, nullptr, 0}, Case{"<?xml version=\"1.0\"?>\n<!-- <a>x</a> -->", -1, 1, nullptr, 0},
        Case{"no markup", -1, 1, nullptr, 0}, Case{"\xEF\xBB\xBF<a><b/></a>", -1, -1, "a", 1},
        Case{std::string("<a>x</a>\0<b>y</b>", 17), -1, -1, "a", 0}, Case{"<a/>", 0, 2, nullptr, 0},
        Case{elements(100), 1, -1, "r", 99}, Case{elements(150), 1, 2, "r", 99}, Case{elements(150), 2, 2, "r", 101},
        Case{elements(150), -1, -1, "r", 149}}) {
    for (bool fromString : {true, false}) {
      platform::Error error;
      error.code = -1;
      allocationsBeforeFailure = c.failing;
      auto doc = std::make_unique<KDXML>();
      fromString ? (void)doc->initWithXMLString(c.input, &error)
                 : doc->decodeData(platform::dataFromString(c.input), &error);
      allocationsBeforeFailure = -1;
      const std::string what = c.input.substr(0, 30) + " " + std::to_string(c.failing);
      EXPECT_EQ(error.code, c.code) << what;
      EXPECT_EQ(error.domain, c.code < 0 ? "" : xml::kKDXMLErrorDomain) << what;
      const xml::_KDXMLElement* root = doc->rootXMLElement();
      EXPECT_STREQ(root ? root->name : nullptr, c.root) << what;
      int n = 0;
      for (auto* e = root ? root->firstChild : nullptr; e != nullptr; e = e->nextSibling) ++n;
      EXPECT_EQ(n, c.children) << what;
      EXPECT_TRUE(c.children > 1 || doc->currentElement() == c.children) << "what was handed out: " << what;
      if (c.failing == 2) {  // the element whose attribute found no record is kept, without it
        EXPECT_EQ(root->lastChild->firstAttribute, nullptr);
        EXPECT_STREQ(root->lastChild->previousSibling->firstAttribute->value, "100");
      }
      if (c.children == 149) {  // r and e1..e99 fill the first chunk of each kind
        EXPECT_EQ(doc->currentElementBuffer()->previous->previous, nullptr);
        EXPECT_EQ(&doc->currentElementBuffer()->previous->elements[0], root);
        EXPECT_EQ(doc->currentElement(), 49);
        EXPECT_EQ(doc->currentAttribute(), 48);
        EXPECT_STREQ(doc->currentElementBuffer()->elements[0].firstAttribute->value, "100");
        EXPECT_STREQ(doc->currentAttributeBuffer()->attributes[0].value, "101");
      }
    }
  }
  // Decoding again replaces the previous document.
  KDXML doc;
  doc.initWithXMLString("<first><x/></first>");
  doc.decodeData(platform::dataFromString("<second>t</second>"));
  EXPECT_STREQ(doc.rootXMLElement()->name, "second");
  EXPECT_EQ(doc.rootXMLElement()->firstChild, nullptr);
  doc.decodeData(platform::Data{});
  EXPECT_EQ(doc.rootXMLElement(), nullptr);
}

}  // namespace
