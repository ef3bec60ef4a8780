// Base64: known encodings, the lenient decoder's rules, round trips through
// every line length and the incremental encoder. The fuzz target holds the
// decoder against a plain model on arbitrary text.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "codec/Compression.h"

using namespace KDXML_Compression;
using platform::Data;
using platform::dataFromString;

TEST(Base64Encoding, known_encodings_and_round_trips_for_every_length_line_length_and_split) {
  for (const auto& [in, len, out] : {std::tuple{"", 0u, ""},
                                     {"f", 0u, "Zg=="},
                                     {"fo", 0u, "Zm8="},
                                     {"foo", 0u, "Zm9v"},
                                     {"foob", 0u, "Zm9vYg=="},
                                     {"fooba", 76u, "Zm9vYmE="},
                                     {"foobar", 4u, "Zm9v\nYmFy\n"},
                                     {"abcabca", 3u, "YWJj\nYWJj\nYQ==\n"},
                                     {"abcabca", 5u, "YWJjYWJj\nYQ=="},
                                     {"\xfb\xff\xbf", 0u, "+/+/"},
                                     {"abcabca", 0xFFFFFFFFu, "YWJjYWJjYQ=="}}) {
    EXPECT_EQ(base64EncodingWithLineLength(dataFromString(in), len), out) << in << " " << len;
  }
  std::mt19937 rng(14);
  for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 17u, 64u, 100u, 1000u, 300003u}) {
    Data data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::string whole = base64Encoding(data);
    EXPECT_EQ(whole.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(Base64Encoder::encodedLength(n), whole.size());
    EXPECT_EQ(dataWithBase64EncodedString(whole), data) << n;
    for (std::uint32_t len : {1u, 4u, 5u, 8u, 13u, 76u, 0xFFFFFFFDu}) {
      const std::string lines = base64EncodingWithLineLength(data, len);
      std::string joined = lines;
      std::erase(joined, '\n');
      EXPECT_EQ(joined, whole) << n << " " << len;
      const std::size_t perLine = (std::max<std::size_t>(len, 1) + 3) / 4;  // groups, ended by a '\n' once full
      EXPECT_EQ(lines.size() - whole.size(), whole.size() / 4 / perLine) << n << " " << len;
      EXPECT_EQ(dataWithBase64EncodedString(lines), data) << n << " " << len;
    }
    for (std::size_t step : {1u, 2u, 3u, 4u, 7u, 64u}) {
      Base64Encoder encoder;
      std::string text;
      for (std::size_t at = 0; at < n; at += step) encoder.update(data.data() + at, std::min(step, n - at), text);
      encoder.finish(text);
      EXPECT_EQ(text, whole) << n << "/" << step;
    }
  }
}

TEST(Base64Decoding, lenient_rules) {
  const Data slot{'a', 'b', 'c', 25 << 2 | 1};
  const std::pair<std::optional<std::string_view>, Data> cases[] = {
      {"YW Jj\r\n", dataFromString("abc")},  // foreign characters are skipped
      {"Y.W-J_j", dataFromString("abc")},
      {std::string_view("YW\0Jj", 5), dataFromString("abc")},
      {"YWJjYQ", dataFromString("abc")},  // an unpadded last group is dropped
      {"YQ==YWJj", dataFromString("a")},  // the first pad ends the data
      {"YWJ=j", dataFromString("ab")},
      {"=YWJj", {}},
      {"YWJj\xc3\xa9", {}},  // non-ASCII anywhere gives nothing
      {"YQ==\xc3\xa9", {}},
      {std::nullopt, {}},
      {"Y=", Data{24 << 2}},  // a lone value before a pad: slot 1 counts as 0 ...
      {"YWJjZ=", slot},       // ... or keeps what the group before left in it
      {"Y W J j Z =", slot},
      {"YWJjA/AAZ=", Data{'a', 'b', 'c', 3, 15 << 4, 0, 25 << 2 | 3}},
      {"A/ AA", Data{3, 15 << 4, 0}},  // a group cut by a foreign character: slot 1's high bits
      {"QUJD+/09QUJD+/09QUJDZ=",
       Data{'A', 'B', 'C', 0xfb, 0xfd, 0x3d, 'A', 'B', 'C', 0xfb, 0xfd, 0x3d, 'A', 'B', 'C', 25 << 2 | 1}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(dataWithBase64EncodedString(text), expected) << text.value_or("<null>");
    EXPECT_EQ(initWithBase64EncodedString(text), expected) << text.value_or("<null>");
  }
  EXPECT_TRUE(dataWithBase64EncodedString(std::string(1000, 'A') + "\x80").empty());
}
