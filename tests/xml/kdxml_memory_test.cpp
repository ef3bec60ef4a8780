// Running out of memory: the copy and every record chunk are taken with
// non-throwing allocation, and a failure ends decoding with code 2.
//
// This file replaces the non-throwing operator new of the test executable:
// while a test has armed it on its thread, the Nth such allocation fails.
// Otherwise it forwards to the ordinary operator new, so memory still comes
// from (and goes back to) the usual allocator and the sanitizers' checks.

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "xml/KDXML.h"

namespace {
thread_local int allocationsBeforeFailure = -1;  // -1: never fail

bool shouldFail() {
  if (allocationsBeforeFailure < 0) return false;
  if (allocationsBeforeFailure == 0) {
    allocationsBeforeFailure = -1;
    return true;
  }
  --allocationsBeforeFailure;
  return false;
}
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (shouldFail()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (shouldFail()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using xml::KDXML;

// Decodes `text` into a fresh document with the (skip+1)th non-throwing
// allocation failing.
std::unique_ptr<KDXML> decodeFailingAt(int skip, const std::string& text, platform::Error* error) {
  auto doc = std::make_unique<KDXML>();
  allocationsBeforeFailure = skip;
  doc->decodeData(platform::dataFromString(text), error);
  allocationsBeforeFailure = -1;
  return doc;
}

std::string manyElements(int count) {
  std::string text = "<r>";
  for (int i = 1; i < count; ++i) text += "<e a='" + std::to_string(i) + "'/>";
  return text + "</r>";
}

TEST(KDXMLMemory, no_memory_for_the_copy_is_code_2_and_nothing_decoded) {
  platform::Error error;
  auto doc = decodeFailingAt(0, "<a>x</a>", &error);
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.localizedDescription(), "Unable to allocate memory");
  EXPECT_EQ(doc->rootXMLElement(), nullptr);

  // Without an error out-parameter nothing is reported and nothing breaks.
  auto quiet = decodeFailingAt(0, "<a>x</a>", nullptr);
  EXPECT_EQ(quiet->rootXMLElement(), nullptr);

  // From a string, the same.
  KDXML fromString;
  platform::Error stringError;
  allocationsBeforeFailure = 0;
  fromString.initWithXMLString("<a/>", &stringError);
  allocationsBeforeFailure = -1;
  EXPECT_EQ(stringError.code, 2);
}

TEST(KDXMLMemory, the_first_chunks_live_in_the_document_and_need_no_allocation) {
  // Only the copy is allocated for a document of up to 100 elements and 100
  // attributes: a failure of any later allocation changes nothing.
  platform::Error error;
  error.code = -1;
  auto doc = decodeFailingAt(1, manyElements(100), &error);
  EXPECT_EQ(error.code, -1);
  ASSERT_NE(doc->rootXMLElement(), nullptr);
  EXPECT_EQ(doc->currentElement(), 99);
  EXPECT_EQ(doc->currentAttribute(), 98);
  EXPECT_EQ(doc->currentElementBuffer()->previous, nullptr);
}

TEST(KDXMLMemory, no_memory_for_a_later_chunk_keeps_what_was_built) {
  // Allocations: the copy, element chunk 2 (e100, the 101st element),
  // attribute chunk 2 (e101's, the 101st attribute).
  platform::Error error;
  auto doc = decodeFailingAt(1, manyElements(150), &error);
  EXPECT_EQ(error.code, 2);
  ASSERT_NE(doc->rootXMLElement(), nullptr);
  int children = 0;
  for (auto* c = doc->rootXMLElement()->firstChild; c != nullptr; c = c->nextSibling) ++children;
  EXPECT_EQ(children, 99);
  EXPECT_EQ(doc->currentElementBuffer()->next, nullptr);
  EXPECT_EQ(doc->currentElementBuffer()->previous, nullptr);

  platform::Error attributeError;
  auto attrs = decodeFailingAt(2, manyElements(150), &attributeError);
  EXPECT_EQ(attributeError.code, 2);
  ASSERT_NE(attrs->rootXMLElement(), nullptr);
  // The element whose attribute found no record is kept, without it.
  EXPECT_EQ(attrs->rootXMLElement()->lastChild->firstAttribute, nullptr);
  EXPECT_EQ(std::string(attrs->rootXMLElement()->lastChild->previousSibling->firstAttribute->value), "100");

  // And the same document decodes fully when memory is there.
  platform::Error none;
  none.code = -1;
  auto full = decodeFailingAt(-1, manyElements(150), &none);
  EXPECT_EQ(none.code, -1);
  EXPECT_EQ(full->currentElementBuffer()->previous->next, full->currentElementBuffer());
}

}  // namespace
