// Running out of memory: the copy and every record chunk are taken with
// non-throwing allocation, and a failure ends decoding with code 2, keeping
// what was built. This file replaces the non-throwing operator new of the
// test executable: once armed on a thread, the Nth such allocation fails.

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "xml/KDXML.h"

namespace {
thread_local int allocationsBeforeFailure = -1;  // -1: never fail

bool shouldFail() {
  if (allocationsBeforeFailure < 0) return false;
  return allocationsBeforeFailure-- == 0;
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

TEST(KDXMLMemory, a_failed_allocation_is_code_2_and_keeps_what_was_built) {
  // Allocations: the copy, then element chunk 2 (the 101st element), then
  // attribute chunk 2 (the 101st attribute); 100 of each need none.
  auto document = [](int elements) {
    std::string text = "<r>";
    for (int i = 1; i < elements; ++i) text += "<e a='" + std::to_string(i) + "'/>";
    return text + "</r>";
  };
  struct Case {
    int failing;  // which allocation fails, counted from 0
    int elements;
    int code;  // -1: untouched
    int children;
  };
  for (auto [failing, elements, code, children] :
       {Case{0, 2, 2, -1}, Case{1, 100, -1, 99}, Case{1, 150, 2, 99}, Case{2, 150, 2, 101}, Case{-1, 150, -1, 149}}) {
    KDXML doc;
    platform::Error error;
    error.code = -1;
    allocationsBeforeFailure = failing;
    doc.decodeData(platform::dataFromString(document(elements)), &error);
    allocationsBeforeFailure = -1;
    EXPECT_EQ(error.code, code) << failing << " " << elements;
    if (children < 0) {
      EXPECT_EQ(doc.rootXMLElement(), nullptr);
      continue;
    }
    ASSERT_NE(doc.rootXMLElement(), nullptr);
    int n = 0;
    for (auto* c = doc.rootXMLElement()->firstChild; c != nullptr; c = c->nextSibling) ++n;
    EXPECT_EQ(n, children) << failing << " " << elements;
    if (failing == 2) {
      // The element whose attribute found no record is kept, without it.
      EXPECT_EQ(doc.rootXMLElement()->lastChild->firstAttribute, nullptr);
      EXPECT_STREQ(doc.rootXMLElement()->lastChild->previousSibling->firstAttribute->value, "100");
    }
  }
  KDXML fromString;
  platform::Error stringError;
  allocationsBeforeFailure = 0;
  fromString.initWithXMLString("<a/>", &stringError);
  allocationsBeforeFailure = -1;
  EXPECT_EQ(stringError.code, 2);
  EXPECT_EQ(stringError.localizedDescription(), "Unable to allocate memory");
}

}  // namespace
