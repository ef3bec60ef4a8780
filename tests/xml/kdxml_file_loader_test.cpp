// Loading documents from the application's resources, plain and gzipped.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "codec/Compression.h"
#include "testsupport/TestSupport.h"
#include "xml/KDXML.h"

namespace {

using xml::_KDXMLAttribute;
using xml::_KDXMLElement;
using xml::KDXML;

const char kReply[] =
    "<?xml version=\"1.0\"?>\n<list kind=\"test\">\n  <item id='1'>one</item>\n  <item id='2'>two</item>\n</list>\n";

// A text form of a subtree, to compare two documents' trees.
std::string dump(const _KDXMLElement* e) {
  if (e == nullptr) return "-";
  std::string out = std::string("(") + e->name;
  for (const _KDXMLAttribute* a = e->firstAttribute; a != nullptr; a = a->next)
    out += std::string(" ") + a->name + "=" + a->value;
  if (e->text != nullptr) out += std::string(" '") + e->text + "'";
  for (const _KDXMLElement* c = e->firstChild; c != nullptr; c = c->nextSibling) out += dump(c);
  return out + ")";
}

// Points the resource lookup at a temporary folder for one test.
class KDXMLFileLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("VLA_RESOURCES_DIR");
    if (old != nullptr) saved_ = old;
    ::setenv("VLA_RESOURCES_DIR", resources_.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("VLA_RESOURCES_DIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("VLA_RESOURCES_DIR");
    }
  }
  void writeBytes(const std::string& name, const platform::Data& bytes) {
    resources_.write(name, std::string(platform::stringView(bytes)));
  }

  testsupport::TempDir resources_;
  std::optional<std::string> saved_;
};

TEST_F(KDXMLFileLoader, a_missing_resource_is_code_3_with_the_file_path) {
  platform::Error error;
  auto doc = KDXML::kdxmlWithXMLFile("missing.xml", &error);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->rootXMLElement(), nullptr);
  EXPECT_EQ(error.domain, xml::kKDXMLErrorDomain);
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(error.localizedDescription(), "File not found in bundle");
  EXPECT_EQ(error.userInfo.at(platform::NSFilePathErrorKey), "missing.xml");

  platform::Error split;
  KDXML::kdxmlWithXMLFile("reply", "xml.gz", &split);
  EXPECT_EQ(split.userInfo.at(platform::NSFilePathErrorKey), "reply.xml.gz");

  // Without an out-parameter: an empty document and nothing reported.
  auto quiet = KDXML::kdxmlWithXMLFile("missing.xml");
  ASSERT_TRUE(quiet);
  EXPECT_EQ(quiet->rootXMLElement(), nullptr);
}

TEST_F(KDXMLFileLoader, plain_and_gzipped_resources_decode_to_the_same_tree) {
  resources_.write("reply.xml", kReply);
  auto compressed = KDXML_Compression::gzipDeflate(platform::dataFromString(kReply));
  ASSERT_TRUE(compressed);
  writeBytes("reply.xml.gz", *compressed);

  platform::Error error;
  error.code = -1;
  auto plain = KDXML::kdxmlWithXMLFile("reply.xml", &error);
  auto byType = KDXML::kdxmlWithXMLFile("reply", "xml", &error);
  auto gzipped = KDXML::kdxmlWithXMLFile("reply.xml.gz", &error);
  auto gzippedByType = KDXML::kdxmlWithXMLFile("reply.xml", "gz", &error);
  EXPECT_EQ(error.code, -1);

  const std::string expected = "(list kind=test(item id=1 'one')(item id=2 'two'))";
  EXPECT_EQ(dump(plain->rootXMLElement()), expected);
  EXPECT_EQ(dump(byType->rootXMLElement()), expected);
  EXPECT_EQ(dump(gzipped->rootXMLElement()), expected);
  EXPECT_EQ(dump(gzippedByType->rootXMLElement()), expected);

  KDXML initialised;
  initialised.initWithXMLFile("reply.xml.gz");
  EXPECT_EQ(dump(initialised.rootXMLElement()), expected);
}

TEST_F(KDXMLFileLoader, unreadable_empty_and_elementless_files) {
  resources_.write("broken.xml.gz", "this is not gzip");
  resources_.write("empty.xml", "");
  resources_.write("prose.xml", "<?xml version=\"1.0\"?> no elements here");

  platform::Error broken;
  EXPECT_EQ(KDXML::kdxmlWithXMLFile("broken.xml.gz", &broken)->rootXMLElement(), nullptr);
  EXPECT_EQ(broken.code, 0);
  platform::Error empty;
  EXPECT_EQ(KDXML::kdxmlWithXMLFile("empty.xml", &empty)->rootXMLElement(), nullptr);
  EXPECT_EQ(empty.code, 0);
  platform::Error prose;
  EXPECT_EQ(KDXML::kdxmlWithXMLFile("prose", "xml", &prose)->rootXMLElement(), nullptr);
  EXPECT_EQ(prose.code, 1);
  EXPECT_EQ(prose.localizedDescription(), "Decode failure");
}

}  // namespace
