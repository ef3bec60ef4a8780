// Base64 against plain one-character-at-a-time models of the encoder and of
// the lenient decoder, plus the decoder rules the model is built on.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "codec/Compression.h"

using namespace KDXML_Compression;
using platform::Data;
using platform::dataFromString;

namespace {

Data randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Data d(n);
  for (auto& b : d) b = static_cast<std::uint8_t>(rng());
  return d;
}

std::string modelEncode(const Data& in, std::uint32_t lineLength) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint64_t line = 0;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    unsigned b0 = in[i], b1 = i + 1 < in.size() ? in[i + 1] : 0, b2 = i + 2 < in.size() ? in[i + 2] : 0;
    std::size_t r = in.size() - i;
    out += alphabet[b0 >> 2];
    out += alphabet[(b0 & 3) << 4 | b1 >> 4];
    out += r >= 2 ? alphabet[(b1 & 15) << 2 | b2 >> 6] : '=';
    out += r >= 3 ? alphabet[b2 & 63] : '=';
    line += 4;
    if (lineLength != 0 && line >= lineLength) {
      out += '\n';
      line = 0;
    }
  }
  return out;
}

Data modelDecode(std::string_view text) {
  Data out;
  for (unsigned char c : text) {
    if (c >= 0x80) return {};
  }
  std::uint8_t s[4] = {0, 0, 0, 0};
  int held = 0;
  for (unsigned char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') {
      if (held >= 1) out.push_back(static_cast<std::uint8_t>(s[0] << 2 | (s[1] >> 4 & 3)));
      if (held == 3) out.push_back(static_cast<std::uint8_t>((s[1] & 15) << 4 | (s[2] >> 2 & 15)));
      return out;
    } else continue;
    s[held++] = static_cast<std::uint8_t>(v);
    if (held == 4) {
      out.push_back(static_cast<std::uint8_t>(s[0] << 2 | (s[1] >> 4 & 3)));
      out.push_back(static_cast<std::uint8_t>((s[1] & 15) << 4 | (s[2] >> 2 & 15)));
      out.push_back(static_cast<std::uint8_t>((s[2] & 3) << 6 | s[3]));
      held = 0;
    }
  }
  return out;
}

}  // namespace

TEST(Base64Encoding, agrees_with_the_model_for_every_length_and_line_length) {
  for (std::size_t n = 0; n < 80; ++n) {
    Data d = randomBytes(n, static_cast<unsigned>(n));
    for (std::uint32_t len : {0u, 1u, 3u, 4u, 5u, 8u, 10u, 13u, 64u, 76u}) {
      ASSERT_EQ(base64EncodingWithLineLength(d, len), modelEncode(d, len)) << n << " " << len;
      ASSERT_EQ(dataWithBase64EncodedString(base64EncodingWithLineLength(d, len)), d) << n << " " << len;
    }
    ASSERT_EQ(base64Encoding(d), modelEncode(d, 0)) << n;
  }
  // Long inputs, and line lengths near the 32-bit maximum that must not
  // overflow the line count.
  Data big = randomBytes(300003, 7);
  for (std::uint32_t len : {0u, 76u, 100000u, 0xFFFFFFFDu, 0xFFFFFFFFu}) {
    const std::string text = base64EncodingWithLineLength(big, len);
    EXPECT_EQ(text, modelEncode(big, len)) << len;
    EXPECT_EQ(dataWithBase64EncodedString(text), big) << len;
  }
  EXPECT_EQ(base64Encoding(Data{0xfb, 0xff, 0xbf}), "+/+/");
  EXPECT_EQ(base64EncodingWithLineLength(dataFromString("abcabca"), 3), "YWJj\nYWJj\nYQ==\n");
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
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(dataWithBase64EncodedString(text), expected) << text.value_or("<null>");
    EXPECT_EQ(initWithBase64EncodedString(text), expected) << text.value_or("<null>");
  }
  EXPECT_TRUE(dataWithBase64EncodedString(std::string(1000, 'A') + "\x80").empty());
}

TEST(Base64Decoding, agrees_with_the_model_on_random_text) {
  const std::string chars = "ABCXYZabcxyz0189+/=\n\r .-_\t";
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 80, ' ');
    for (auto& c : text) {
      // Mostly alphabet runs, so that whole groups go the fast way.
      c = rng() % 8 != 0 ? "QUJD+/09"[rng() % 8] : chars[rng() % chars.size()];
    }
    if (rng() % 50 == 0) text.insert(rng() % (text.size() + 1), "\xc3\xa9");
    ASSERT_EQ(dataWithBase64EncodedString(text), modelDecode(text)) << text;
  }
}

TEST(Base64, incremental_encoder_matches_the_whole_encoding_for_any_split) {
  for (std::size_t size : {0u, 1u, 2u, 3u, 4u, 5u, 17u, 100u, 1000u}) {
    platform::Data data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const std::string whole = KDXML_Compression::base64Encoding(data);
    for (std::size_t step : {1u, 2u, 3u, 4u, 7u, 64u}) {
      KDXML_Compression::Base64Encoder encoder;
      std::string text;
      for (std::size_t at = 0; at < size; at += step) {
        encoder.update(data.data() + at, std::min(step, size - at), text);
      }
      encoder.finish(text);
      EXPECT_EQ(text, whole) << size << "/" << step;
    }
    EXPECT_EQ(KDXML_Compression::Base64Encoder::encodedLength(size), whole.size());
  }
}
