// The parser against a plain model of its rules (reference_parser.h) on
// random, mostly malformed, inputs made of the pieces that steer it:
// markup delimiters, quotes, CDATA and comment markers, whitespace. Every
// record, text, attribute and link must match.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reference_parser.h"
#include "xml/KDXML.h"

namespace {

std::string randomInput(std::mt19937& random) {
  static const char* pieces[] = {
      "<a", "<b ", "<ns:c\t", "<", ">", "/>", " />", "</a>", "</", "<!--", "-->", "<!-->", "<![CDATA[", "]]>",
      "<?xml version='1.0'?>", "<!DOCTYPE d>", " ", "  ", "\n", "\t", "\r\n", "\v", "=", " = ", "\"", "'", "x",
      "text", "&amp;", "/", "<<", "]]", "--", "]", "\xC3\xA9", " k='v'", " k=\"v w\"", " q=1", " e=''",
      " many='1' many='2' many='3' many='4' many='5' many='6' many='7' many='8' many='9'",
      " long=\"0123456789012345678901234567890123456789012345678901234567890123456789\"",
      "<averyveryveryveryveryveryveryveryveryveryveryveryveryveryverylongname", " v='<![CDATA[a>b]]>'",
      " w=\"<![CDATA[<]]><![CDATA[\"]]>\"", "<r>", "</r>", "<e/>"};
  std::string out;
  const int count = std::uniform_int_distribution<int>(1, 40)(random);
  for (int i = 0; i < count; ++i) {
    const int which = std::uniform_int_distribution<int>(0, sizeof pieces / sizeof pieces[0])(random);
    if (which == sizeof pieces / sizeof pieces[0]) {
      out.push_back('\0');
    } else {
      out += pieces[which];
    }
  }
  return out;
}

std::string compare(const std::string& input) {
  auto document = xml::KDXML::kdxmlWithXMLString(input);
  std::string why;
  const auto actual = reference::records(*document, why);
  if (!why.empty()) return why;
  return reference::difference(reference::parse(input), actual);
}

TEST(KDXMLModel, hand_picked_inputs_match_the_model) {
  for (const char* input :
       {"<a>x</a>", "<a><![CDATA[1]]>2<![CDATA[3]]>4<b/></a>", "<a><![CDATA[1]]>2<![CDATA[3", "<a><![CDATA[x]]>",
        "<a x=\"<![CDATA[1<![CDATA[2]]>3\">t</a>", "<a x='<<![CDATA[![CDATA[]]>]]>'/>", "<a\tb c='1'/>",
        "<a b='1' c=\"2\"></a><d", "<a></b></c></d><e>", "<!-- <a> --><b>t<!-- c -->u</b>"}) {
    EXPECT_EQ(compare(input), "") << input;
  }
}

TEST(KDXMLModel, random_inputs_match_the_model) {
  std::mt19937 random(7u);
  for (int i = 0; i < 30000; ++i) {
    const std::string input = randomInput(random);
    const std::string difference = compare(input);
    ASSERT_EQ(difference, "") << "input #" << i << ": " << input;
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
  auto document = xml::KDXML::kdxmlWithXMLString(input);
  std::string why;
  const auto actual = reference::records(*document, why);
  EXPECT_EQ(why, "");
  EXPECT_EQ(actual.size(), 30001u);
  EXPECT_EQ(reference::difference(reference::parse(input), actual), "");
}

}  // namespace
