// The in-place parser: tree shape, texts, attributes, CDATA, comments, the
// record chunks and malformed input.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/KDXML.h"

namespace {

using xml::_KDXMLAttribute;
using xml::_KDXMLElement;
using xml::KDXML;

std::unique_ptr<KDXML> parse(std::string_view text) { return KDXML::kdxmlWithXMLString(text); }

std::string str(const char* p) { return p == nullptr ? "<null>" : std::string(p); }

std::vector<const _KDXMLElement*> children(const _KDXMLElement* e) {
  std::vector<const _KDXMLElement*> out;
  for (const _KDXMLElement* c = e->firstChild; c != nullptr; c = c->nextSibling) out.push_back(c);
  return out;
}

std::vector<std::pair<std::string, std::string>> attributes(const _KDXMLElement* e) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const _KDXMLAttribute* a = e->firstAttribute; a != nullptr; a = a->next) out.emplace_back(a->name, a->value);
  return out;
}

using Attrs = std::vector<std::pair<std::string, std::string>>;

TEST(KDXMLParser, empty_input_reports_code_0_and_no_root) {
  platform::Error error;
  auto doc = KDXML::kdxmlWithXMLString("", &error);
  ASSERT_TRUE(doc);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.domain, xml::kKDXMLErrorDomain);
  EXPECT_EQ(error.localizedDescription(), "Data is nil");
  EXPECT_EQ(doc->rootXMLElement(), nullptr);

  platform::Error dataError;
  auto fromData = KDXML::kdxmlWithXMLData(platform::Data{}, &dataError);
  EXPECT_EQ(dataError.code, 0);
  EXPECT_EQ(fromData->rootXMLElement(), nullptr);

  EXPECT_EQ(KDXML::kdxmlWithXMLString("")->rootXMLElement(), nullptr);
}

TEST(KDXMLParser, declaration_and_comment_only_is_a_decode_failure_on_every_path) {
  const std::string text = "<?xml version=\"1.0\"?>\n<!-- <a>nothing</a> -->\n";
  platform::Error fromString;
  KDXML a;
  a.initWithXMLString(text, &fromString);
  EXPECT_EQ(fromString.code, 1);
  EXPECT_EQ(fromString.localizedDescription(), "Decode failure");
  EXPECT_EQ(a.rootXMLElement(), nullptr);

  platform::Error fromData;
  KDXML b;
  b.decodeData(platform::dataFromString(text), &fromData);
  EXPECT_EQ(fromData.code, 1);
  EXPECT_EQ(b.rootXMLElement(), nullptr);
}

TEST(KDXMLParser, soap_reply_walks_down_to_the_trimmed_result) {
  const std::string reply =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\r\n"
      "  <soap:Body>\r\n"
      "    <SubirFicheroResponse xmlns=\"http://velmora.example/\">\r\n"
      "      <SubirFicheroResult>\r\n\t  Fichero bloqueado  \r\n      </SubirFicheroResult>\r\n"
      "    </SubirFicheroResponse>\r\n"
      "  </soap:Body>\r\n"
      "</soap:Envelope>\r\n";
  platform::Error error;
  error.code = -99;  // untouched on success
  auto doc = KDXML::kdxmlWithXMLData(platform::dataFromString(reply), &error);
  EXPECT_EQ(error.code, -99);
  const _KDXMLElement* root = doc->rootXMLElement();
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->name, "soap:Envelope");
  EXPECT_EQ(attributes(root), (Attrs{{"xmlns:soap", "http://schemas.xmlsoap.org/soap/envelope/"},
                                     {"xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance"}}));
  EXPECT_EQ(root->text, nullptr);

  const _KDXMLElement* body = KDXML::childElementNamed("soap:Body", root);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(children(root).size(), 1u);
  EXPECT_EQ(KDXML::childElementNamed("Body", root), nullptr);
  const _KDXMLElement* response = KDXML::childElementNamed("SubirFicheroResponse", body);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(children(body).size(), 1u);
  const _KDXMLElement* result = KDXML::childElementNamed("SubirFicheroResult", response);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->parentElement, response);
  EXPECT_EQ(KDXML::textForElement(result), "Fichero bloqueado");

  // An empty result element and a missing one both read as "".
  auto empty = KDXML::kdxmlWithXMLString(
      "<soap:Envelope><soap:Body><SubirFicheroResponse><SubirFicheroResult />"
      "</SubirFicheroResponse></soap:Body></soap:Envelope>");
  const _KDXMLElement* r = KDXML::childElementNamed(
      "SubirFicheroResult",
      KDXML::childElementNamed("SubirFicheroResponse", KDXML::childElementNamed("soap:Body", empty->rootXMLElement())));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(KDXML::textForElement(r), "");
  EXPECT_EQ(KDXML::textForElement(KDXML::childElementNamed("Missing", r)), "");
}

TEST(KDXMLParser, text_is_trimmed_of_the_six_ascii_whitespace_bytes_only) {
  EXPECT_STREQ(parse("<a>  hello  </a>")->rootXMLElement()->text, "hello");
  EXPECT_STREQ(parse("<a>\t\r\n\v\f x y \f\v\n\r\t</a>")->rootXMLElement()->text, "x y");
  EXPECT_STREQ(parse("<a>   </a>")->rootXMLElement()->text, "");
  EXPECT_STREQ(parse("<a></a>")->rootXMLElement()->text, "");
  // A no-break space (C2 A0) is not whitespace.
  EXPECT_STREQ(parse("<a>\xC2\xA0x\xC2\xA0</a>")->rootXMLElement()->text, "\xC2\xA0x\xC2\xA0");
  // Never closed: never trimmed.
  EXPECT_STREQ(parse("<a>  open  ")->rootXMLElement()->text, "  open  ");
}

TEST(KDXMLParser, self_closing_elements_have_no_text_and_never_become_parents) {
  auto doc = parse("<r><a/><b x='1'/>t<c>u</c></r>");
  const _KDXMLElement* r = doc->rootXMLElement();
  auto kids = children(r);
  ASSERT_EQ(kids.size(), 3u);
  EXPECT_STREQ(kids[0]->name, "a");
  EXPECT_EQ(kids[0]->text, nullptr);
  EXPECT_EQ(kids[0]->firstChild, nullptr);
  EXPECT_STREQ(kids[1]->name, "b");
  EXPECT_EQ(attributes(kids[1]), (Attrs{{"x", "1"}}));
  EXPECT_EQ(kids[1]->text, nullptr);
  EXPECT_STREQ(kids[2]->text, "u");
  EXPECT_EQ(kids[2]->previousSibling, kids[1]);
  EXPECT_EQ(r->text, nullptr);  // c was closed by a closing tag
}

TEST(KDXMLParser, children_closed_by_a_tag_clear_the_parent_text_self_closing_ones_do_not) {
  auto doc = parse("<p>lead<a>1</a>mid<b>2</b>tail</p>");
  const _KDXMLElement* p = doc->rootXMLElement();
  EXPECT_EQ(p->text, nullptr);
  ASSERT_NE(p->firstChild, nullptr);
  const _KDXMLElement* b = p->lastChild;
  EXPECT_STREQ(b->name, "b");
  EXPECT_EQ(b->previousSibling, p->firstChild);
  EXPECT_EQ(p->firstChild->nextSibling, b);
  EXPECT_EQ(b->nextSibling, nullptr);
  EXPECT_EQ(p->firstChild->previousSibling, nullptr);

  EXPECT_STREQ(parse("<a>x<b/></a>")->rootXMLElement()->text, "x");
  // The text ends at the child's tag and is trimmed when the parent closes.
  EXPECT_STREQ(parse("<a> x <b/> y </a>")->rootXMLElement()->text, "x");
}

TEST(KDXMLParser, attributes_quoting_order_and_the_skipped_unquoted_value) {
  auto doc = parse("<a one=\"1\" two='2' three = \"3\"\nfour\t=\t'it\"s' dup='x' dup=\"y\">t</a>");
  EXPECT_EQ(attributes(doc->rootXMLElement()),
            (Attrs{{"one", "1"}, {"two", "2"}, {"three", "3"}, {"four", "it\"s"}, {"dup", "x"}, {"dup", "y"}}));

  // An unquoted value takes the next quoted value; what lies between is lost.
  EXPECT_EQ(attributes(parse("<a z=3 w='4'/>")->rootXMLElement()), (Attrs{{"z", "4"}}));
  // An unquoted value at the end of the tag, or an open one, makes nothing.
  EXPECT_EQ(attributes(parse("<a x='1' k=v>t</a>")->rootXMLElement()), (Attrs{{"x", "1"}}));
  EXPECT_EQ(attributes(parse("<a x='1' k='v>t</a>")->rootXMLElement()), (Attrs{{"x", "1"}}));
  // Entities are not decoded.
  auto amp = parse("<a v=\"&amp;&#38;\">&lt;&gt;</a>");
  EXPECT_EQ(attributes(amp->rootXMLElement()), (Attrs{{"v", "&amp;&#38;"}}));
  EXPECT_STREQ(amp->rootXMLElement()->text, "&lt;&gt;");
}

TEST(KDXMLParser, a_greater_than_in_a_quoted_value_ends_the_tag_unless_inside_cdata) {
  auto cut = parse("<a x=\"1>2\" y='3'>t</a>");
  EXPECT_TRUE(attributes(cut->rootXMLElement()).empty());
  EXPECT_STREQ(cut->rootXMLElement()->text, "2\" y='3'>t");

  auto kept = parse("<a x=\"<![CDATA[1>2 <b> \"q\"]]>!\" y='<![CDATA[a]]>b<![CDATA[c]]>'>t</a>");
  EXPECT_EQ(attributes(kept->rootXMLElement()), (Attrs{{"x", "1>2 <b> \"q\"!"}, {"y", "abc"}}));
  EXPECT_STREQ(kept->rootXMLElement()->text, "t");
}

TEST(KDXMLParser, element_names_end_only_at_space_slash_or_line_feed) {
  auto tab = parse("<a\tx=\"1\" y=\"2\">t</a>");
  EXPECT_STREQ(tab->rootXMLElement()->name, "a\tx=\"1\"");
  EXPECT_EQ(attributes(tab->rootXMLElement()), (Attrs{{"y", "2"}}));

  auto crlf = parse("<a\r\nx=\"1\">t</a>");
  EXPECT_STREQ(crlf->rootXMLElement()->name, "a\r");
  EXPECT_EQ(attributes(crlf->rootXMLElement()), (Attrs{{"x", "1"}}));

  EXPECT_STREQ(parse("<a\tb>t</a>")->rootXMLElement()->name, "a\tb");
  EXPECT_STREQ(parse("<a/>")->rootXMLElement()->name, "a");
  EXPECT_STREQ(parse("<>x</>")->rootXMLElement()->name, "");
}

TEST(KDXMLParser, cdata_in_content_is_unwrapped_joined_and_padded_with_twelve_spaces) {
  EXPECT_STREQ(parse("<a><![CDATA[<b>&amp;</b>]]></a>")->rootXMLElement()->text, "<b>&amp;</b>");
  EXPECT_STREQ(parse("<a><![CDATA[x]]><![CDATA[y]]></a>")->rootXMLElement()->text, "xy");
  EXPECT_STREQ(parse("<a>p<![CDATA[q]]>r<![CDATA[]]>s</a>")->rootXMLElement()->text, "pqrs");
  // An element that is never closed keeps the padding: 12 bytes per section.
  EXPECT_EQ(str(parse("<a>p<![CDATA[q]]>r<![CDATA[s]]>t<c/>")->rootXMLElement()->text),
            "pqrst" + std::string(24, ' '));
  // The content is not parsed again: no element comes out of it.
  auto doc = parse("<a><![CDATA[<x>]]><b/></a>");
  ASSERT_NE(doc->rootXMLElement()->firstChild, nullptr);
  EXPECT_STREQ(doc->rootXMLElement()->firstChild->name, "b");
  EXPECT_EQ(doc->rootXMLElement()->firstChild->nextSibling, nullptr);
  // A section that holds a marker: the first "]]>" ends it.
  EXPECT_STREQ(parse("<a><![CDATA[1<![CDATA[2]]>3]]></a>")->rootXMLElement()->text, "1<![CDATA[23]]>");
}

TEST(KDXMLParser, comments_stay_in_the_text_and_hide_their_tags) {
  EXPECT_STREQ(parse("<a>x<!-- <b>c</b> -->y</a>")->rootXMLElement()->text, "x<!-- <b>c</b> -->y");
  EXPECT_EQ(parse("<a>x<!-- <b>c</b> -->y</a>")->rootXMLElement()->firstChild, nullptr);
  // "<!-->" is already a whole comment.
  EXPECT_STREQ(parse("<a><!-->x</a>")->rootXMLElement()->text, "<!-->x");
  auto after = parse("<!-- first --><r/>");
  EXPECT_STREQ(after->rootXMLElement()->name, "r");
}

TEST(KDXMLParser, closing_tags_close_the_innermost_element_whatever_their_name) {
  auto doc = parse("</stray><a><b>x</c><d/></a>trailing</z>");
  const _KDXMLElement* a = doc->rootXMLElement();
  ASSERT_STREQ(a->name, "a");
  auto kids = children(a);
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_STREQ(kids[0]->text, "x");
  EXPECT_STREQ(kids[1]->name, "d");
  EXPECT_EQ(a->text, nullptr);
}

TEST(KDXMLParser, later_top_level_elements_get_records_but_no_link) {
  auto doc = parse("<a/><b><c>1</c></b>");
  const _KDXMLElement* a = doc->rootXMLElement();
  EXPECT_EQ(a->nextSibling, nullptr);
  const _KDXMLElement* records = doc->currentElementBuffer()->elements;
  EXPECT_EQ(doc->currentElement(), 2);
  EXPECT_EQ(&records[0], a);
  EXPECT_STREQ(records[1].name, "b");
  EXPECT_EQ(records[1].parentElement, nullptr);
  EXPECT_EQ(records[1].firstChild, &records[2]);
  EXPECT_STREQ(records[2].text, "1");
}

TEST(KDXMLParser, records_come_from_fixed_chunks_of_one_hundred) {
  std::string text = "<r>";
  for (int i = 1; i <= 150; ++i) text += "<e i=\"" + std::to_string(i) + "\">" + std::to_string(i) + "</e>";
  text += "</r>";
  auto doc = parse(text);
  const _KDXMLElement* r = doc->rootXMLElement();
  const xml::_KDXMLElementBuffer* second = doc->currentElementBuffer();
  ASSERT_NE(second, nullptr);
  ASSERT_NE(second->previous, nullptr);
  const xml::_KDXMLElementBuffer* first = second->previous;
  EXPECT_EQ(first->previous, nullptr);
  EXPECT_EQ(first->next, second);
  EXPECT_EQ(second->next, nullptr);
  EXPECT_EQ(&first->elements[0], r);

  // Records are handed out in start-tag order: r, then e1..e99 fill the
  // first chunk, e100 (the 101st element) opens the second.
  auto kids = children(r);
  ASSERT_EQ(kids.size(), 150u);
  for (int i = 0; i < 150; ++i) {
    const _KDXMLElement* expected = i < 99 ? &first->elements[i + 1] : &second->elements[i - 99];
    ASSERT_EQ(kids[i], expected) << i;
    EXPECT_EQ(std::string(kids[i]->text), std::to_string(i + 1));
    EXPECT_EQ(std::string(kids[i]->firstAttribute->value), std::to_string(i + 1));
  }
  // Attributes: 150 records in two chunks, the first 100 in the first.
  const xml::_KDXMLAttributeBuffer* attrs = doc->currentAttributeBuffer();
  ASSERT_NE(attrs->previous, nullptr);
  EXPECT_EQ(kids[0]->firstAttribute, &attrs->previous->attributes[0]);
  EXPECT_EQ(kids[100]->firstAttribute, &attrs->attributes[0]);
}

TEST(KDXMLParser, input_stops_at_an_embedded_nul_and_a_byte_order_mark_is_just_bytes) {
  platform::Data data = platform::dataFromString("<a>x</a>");
  data.push_back(0);
  for (char c : std::string("<b>y</b>")) data.push_back(static_cast<std::uint8_t>(c));
  auto doc = KDXML::kdxmlWithXMLData(data);
  EXPECT_STREQ(doc->rootXMLElement()->name, "a");
  EXPECT_EQ(doc->currentElement(), 0);  // one element handed out

  auto bom = KDXML::kdxmlWithXMLString("\xEF\xBB\xBF<a>t</a>");
  EXPECT_STREQ(bom->rootXMLElement()->name, "a");
}

TEST(KDXMLParser, decoding_again_replaces_the_previous_document) {
  KDXML doc;
  doc.initWithXMLString("<first><x/></first>");
  platform::Error error;
  doc.decodeData(platform::dataFromString("<second>t</second>"), &error);
  ASSERT_NE(doc.rootXMLElement(), nullptr);
  EXPECT_STREQ(doc.rootXMLElement()->name, "second");
  EXPECT_EQ(doc.rootXMLElement()->firstChild, nullptr);
  doc.decodeData(platform::Data{}, &error);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(doc.rootXMLElement(), nullptr);
}

// Malformed inputs must end or carry on inside the copy; what the tree
// holds is ours to choose. The sanitizer builds check the memory side.
TEST(KDXMLParser, unterminated_constructs_end_parsing_with_what_was_built) {
  EXPECT_STREQ(parse("<a>x<!-- never closed <b/>")->rootXMLElement()->text, "x<!-- never closed <b/>");
  EXPECT_EQ(parse("<a>x<!-- never closed <b/>")->rootXMLElement()->firstChild, nullptr);

  EXPECT_STREQ(parse("<a>x<![CDATA[never closed")->rootXMLElement()->text, "x<![CDATA[never closed");

  // No '<' after the section: the end of the input takes the place of N.
  EXPECT_EQ(str(parse("<a><![CDATA[x]]>tail")->rootXMLElement()->text), "xtail" + std::string(12, ' '));
  // A second section that never ends: the first is unwrapped, then parsing stops.
  EXPECT_EQ(str(parse("<a><![CDATA[x]]>y<![CDATA[z</a>")->rootXMLElement()->text),
            "xy<![CDATA[z</a>" + std::string(12, ' '));

  // A CDATA section in a tag that never ends: the tag is not read.
  auto tag = parse("<r><a x=\"<![CDATA[>\"/></r>");
  EXPECT_EQ(tag->rootXMLElement()->firstChild, nullptr);
  // A marker inside the CDATA content of a value, with no "]]>" after it:
  // every marker goes, a "]]>" only when there is one.
  auto value = parse("<a x=\"<![CDATA[1<![CDATA[2]]>3\">t</a>");
  EXPECT_EQ(attributes(value->rootXMLElement()), (Attrs{{"x", "123"}}));

  // A '<' with nothing after it that ends a tag.
  auto lone = parse("<a>t<");
  EXPECT_STREQ(lone->rootXMLElement()->text, "t<");
  EXPECT_EQ(parse("<")->rootXMLElement(), nullptr);
  EXPECT_EQ(parse("<!--")->rootXMLElement(), nullptr);
  EXPECT_EQ(parse("<![CDATA[")->rootXMLElement(), nullptr);
  EXPECT_EQ(parse("<![CDATA[]]>")->rootXMLElement(), nullptr);
  EXPECT_STREQ(parse("<a")->rootXMLElement() == nullptr ? "none" : "some", "none");
  EXPECT_STREQ(parse("<a>")->rootXMLElement()->text, "");
}

}  // namespace
