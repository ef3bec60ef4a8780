// The parser against a plain model of its rules (reference_parser.h): every
// record, text, attribute and link must match, on hand-picked inputs that
// steer each rule and on random, mostly malformed, ones. What the model does
// not cover (error codes, chunks, the end of the input) is checked directly.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reference_parser.h"
#include "xml/KDXML.h"

namespace {

using xml::KDXML;

std::string compare(const std::string& input) {
  auto document = KDXML::kdxmlWithXMLString(input);
  std::string why;
  const auto actual = reference::records(*document, why);
  if (!why.empty()) return why;
  return reference::difference(reference::parse(input), actual);
}

std::string randomInput(std::mt19937& random) {
  static const char* pieces[] = {
      "<a", "<b ", "<ns:c\t", "<", ">", "/>", " />", "</a>", "</", "<!--", "-->", "<!-->", "<![CDATA[", "]]>",
      "<?xml version='1.0'?>", "<!DOCTYPE d>", " ", "  ", "\n", "\t", "\r\n", "\v", "=", " = ", "\"", "'", "x",
      "text", "&amp;", "/", "<<", "]]", "--", "]", "\xC3\xA9", " k='v'", " k=\"v w\"", " q=1", " e=''",
      " many='1' many='2' many='3' many='4' many='5' many='6' many='7' many='8' many='9'",
      " long=\"0123456789012345678901234567890123456789012345678901234567890123456789\"",
      "<averyveryveryveryveryveryveryveryveryveryveryveryveryveryverylongname", " v='<![CDATA[a>b]]>'",
      " w=\"<![CDATA[<]]><![CDATA[\"]]>\"", "<r>", "</r>", "<e/>"};
  constexpr int kPieces = sizeof pieces / sizeof pieces[0];
  std::string out;
  const int count = std::uniform_int_distribution<int>(1, 40)(random);
  for (int i = 0; i < count; ++i) {
    const int which = std::uniform_int_distribution<int>(0, kPieces)(random);
    if (which == kPieces) {
      out.push_back('\0');
    } else {
      out += pieces[which];
    }
  }
  return out;
}

TEST(KDXMLModel, hand_picked_inputs_match_the_model) {
  for (const char* input : {
           "<a>x</a>", "<a>\t\r\n\v\f x y \f\v\n\r\t</a>", "<a>\xC2\xA0x\xC2\xA0</a>", "<a>  open  ",
           "<r><a/><b x='1'/>t<c>u</c></r>", "<p>lead<a>1</a>mid<b>2</b>tail</p>", "<a> x <b/> y </a>",
           "<a one=\"1\" two='2' three = \"3\"\nfour\t=\t'it\"s' dup='x' dup=\"y\">t</a>", "<a z=3 w='4'/>",
           "<a x='1' k=v>t</a>", "<a x='1' k='v>t</a>", "<a x=\"1>2\" y='3'>t</a>",
           "<a x=\"<![CDATA[1>2 <b> \"q\"]]>!\" y='<![CDATA[a]]>b<![CDATA[c]]>'>t</a>",
           "<a\tx=\"1\" y=\"2\">t</a>", "<a\r\nx=\"1\">t</a>", "<>x</>",
           "<a>p<![CDATA[q]]>r<![CDATA[s]]>t<c/>", "<a><![CDATA[<x>]]><b/></a>",
           "<a><![CDATA[1<![CDATA[2]]>3]]></a>", "<a><![CDATA[1]]>2<![CDATA[3", "<a><![CDATA[x]]>y<![CDATA[z</a>",
           "<a x=\"<![CDATA[1<![CDATA[2]]>3\">t</a>", "<a x='<<![CDATA[![CDATA[]]>]]>'/>",
           "<r><a x=\"<![CDATA[>\"/></r>", "<a>x<!-- <b>c</b> -->y</a>", "<a><!-->x</a>", "<a>x<!-- never <b/>",
           "</stray><a><b>x</c><d/></a>trailing</z>", "<a/><b><c>1</c></b>", "<a>t<", "<", "<!--", "<a", "<a>"}) {
    EXPECT_EQ(compare(input), "") << input;
  }
}

TEST(KDXMLModel, random_inputs_match_the_model) {
  std::mt19937 random(7u);
  for (int i = 0; i < 30000; ++i) {
    const std::string input = randomInput(random);
    ASSERT_EQ(compare(input), "") << "input #" << i << ": " << input;
  }
}

TEST(KDXMLModel, a_large_document_across_many_chunks_matches_the_model) {
  // 30,000 elements and 60,000 attributes: hundreds of chunks, taken in
  // blocks of growing size.
  std::string input = "<root>";
  for (int i = 0; i < 10000; ++i) {
    const std::string n = std::to_string(i);
    input += "<a i='" + n + "'><b j=\"" + n + "\" k='x'>" + n + "</b><c/></a>";
  }
  input += "</root>";
  auto document = KDXML::kdxmlWithXMLString(input);
  std::string why;
  const auto actual = reference::records(*document, why);
  EXPECT_EQ(why, "");
  EXPECT_EQ(actual.size(), 30001u);
  EXPECT_EQ(reference::difference(reference::parse(input), actual), "");
  EXPECT_EQ(document->currentElementBuffer()->previous->next, document->currentElementBuffer());
}

TEST(KDXMLDecode, error_codes_and_what_is_left_after_each_kind_of_input) {
  struct Case {
    std::string input;
    int code;  // -1: untouched (success)
    const char* root;
  };
  for (const Case& c : {Case{"", 0, nullptr}, Case{"<?xml version=\"1.0\"?>\n<!-- <a>x</a> -->\n", 1, nullptr},
                        Case{"no markup", 1, nullptr}, Case{"\xEF\xBB\xBF<a>t</a>", -1, "a"},
                        Case{std::string("<a>x</a>\0<b>y</b>", 17), -1, "a"}}) {
    platform::Error fromString, fromData;
    fromString.code = fromData.code = -1;
    auto a = KDXML::kdxmlWithXMLString(c.input, &fromString);
    auto b = KDXML::kdxmlWithXMLData(platform::dataFromString(c.input), &fromData);
    EXPECT_EQ(fromString.code, c.code) << c.input;
    EXPECT_EQ(fromData.code, c.code) << c.input;
    for (const KDXML* doc : {a.get(), b.get()}) {
      if (c.root == nullptr) {
        EXPECT_EQ(doc->rootXMLElement(), nullptr) << c.input;
      } else {
        ASSERT_NE(doc->rootXMLElement(), nullptr) << c.input;
        EXPECT_STREQ(doc->rootXMLElement()->name, c.root);
        EXPECT_EQ(doc->currentElement(), 0) << "one element handed out";
      }
    }
    if (c.code >= 0) {
      EXPECT_EQ(fromString.domain, xml::kKDXMLErrorDomain);
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

TEST(KDXMLDecode, records_come_from_fixed_chunks_of_one_hundred) {
  std::string text = "<r>";
  for (int i = 1; i <= 150; ++i) text += "<e i=\"" + std::to_string(i) + "\"/>";
  auto doc = KDXML::kdxmlWithXMLString(text + "</r>");
  const xml::_KDXMLElementBuffer* second = doc->currentElementBuffer();
  ASSERT_NE(second->previous, nullptr);
  EXPECT_EQ(second->previous->previous, nullptr);
  EXPECT_EQ(&second->previous->elements[0], doc->rootXMLElement());
  EXPECT_EQ(doc->currentElement(), 50);  // r and e1..e99 fill the first chunk
  EXPECT_EQ(doc->currentAttribute(), 49);
  EXPECT_STREQ(second->elements[0].firstAttribute->value, "100");
  EXPECT_STREQ(doc->currentAttributeBuffer()->attributes[0].value, "101");
}

}  // namespace
