#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "CommandRunner.h"
#include "codec/Compression.h"
#include "testsupport/TestSupport.h"

using namespace KDXML_Compression;
using platform::Data;
using platform::dataFromString;

namespace {

std::string decodeText(std::optional<std::string_view> text) {
  return std::string(platform::stringView(dataWithBase64EncodedString(text)));
}

Data randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Data d(n);
  for (auto& b : d) b = static_cast<std::uint8_t>(rng());
  return d;
}

// A plain one-character-at-a-time model of the encoder, to hold the
// table-driven one against.
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

// The same for the decoder, group buffer and all.
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

TEST(Base64Encoding, known_texts_and_padding) {
  EXPECT_EQ(base64Encoding(dataFromString("")), "");
  EXPECT_EQ(base64EncodingWithLineLength(dataFromString(""), 4), "");
  EXPECT_EQ(base64Encoding(dataFromString("a")), "YQ==");
  EXPECT_EQ(base64Encoding(dataFromString("ab")), "YWI=");
  EXPECT_EQ(base64Encoding(dataFromString("abc")), "YWJj");
  EXPECT_EQ(base64Encoding(dataFromString("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64Encoding(Data{0xfb, 0xff, 0xbf}), "+/+/");
  EXPECT_EQ(base64Encoding(Data{0, 0, 0, 0}), "AAAAAA==");
}

TEST(Base64Encoding, lines_end_only_between_groups_of_four) {
  std::string t57 = base64EncodingWithLineLength(Data(57, 'x'), 76);
  EXPECT_EQ(t57.size(), 77u);
  EXPECT_EQ(t57.back(), '\n');

  std::string t58 = base64EncodingWithLineLength(Data(58, 'x'), 76);
  ASSERT_EQ(t58.size(), 81u);
  EXPECT_EQ(t58[76], '\n');
  EXPECT_EQ(t58.substr(77), "eA==");  // the short last line has no line feed

  // 10 is rounded up to the next multiple of four.
  EXPECT_EQ(base64EncodingWithLineLength(Data(9, 'x'), 10), "eHh4eHh4eHh4\n");

  for (std::uint32_t len = 1; len <= 4; ++len) {
    EXPECT_EQ(base64EncodingWithLineLength(dataFromString("abcabca"), len), "YWJj\nYWJj\nYQ==\n") << len;
  }
  // Pad characters count towards the line.
  EXPECT_EQ(base64EncodingWithLineLength(dataFromString("abcab"), 8), "YWJjYWI=\n");
}

TEST(Base64Encoding, long_and_huge_line_lengths) {
  Data big = randomBytes(300000, 1);
  std::string text = base64EncodingWithLineLength(big, 100000);
  ASSERT_EQ(text.size(), 400000u + 4u);
  for (std::size_t i = 100000; i < text.size(); i += 100001) EXPECT_EQ(text[i], '\n') << i;
  // A line length near the 32-bit maximum must not overflow the line count.
  EXPECT_EQ(base64EncodingWithLineLength(big, 0xFFFFFFFFu), base64Encoding(big));
  EXPECT_EQ(base64EncodingWithLineLength(big, 0xFFFFFFFDu), base64Encoding(big));
}

TEST(Base64Encoding, agrees_with_a_plain_model_for_every_length_and_line_length) {
  for (std::size_t n = 0; n < 80; ++n) {
    Data d = randomBytes(n, static_cast<unsigned>(n));
    for (std::uint32_t len : {0u, 1u, 3u, 4u, 5u, 8u, 10u, 13u, 64u, 76u}) {
      ASSERT_EQ(base64EncodingWithLineLength(d, len), modelEncode(d, len)) << n << " " << len;
    }
  }
  Data big = randomBytes(100003, 7);
  EXPECT_EQ(base64EncodingWithLineLength(big, 76), modelEncode(big, 76));
  EXPECT_EQ(base64Encoding(big), modelEncode(big, 0));
}

TEST(Base64Decoding, skips_foreign_characters_and_honours_pads) {
  EXPECT_EQ(decodeText("YWJj"), "abc");
  EXPECT_EQ(decodeText("YW Jj\r\n"), "abc");
  EXPECT_EQ(decodeText("Y.W-J_j"), "abc");
  EXPECT_EQ(decodeText("YWI="), "ab");
  EXPECT_EQ(decodeText("YQ=="), "a");
  EXPECT_EQ(decodeText("Zm9vYmFy"), "foobar");
  EXPECT_EQ(decodeText(std::string_view("YW\0Jj", 5)), "abc");
}

TEST(Base64Decoding, unpadded_last_group_is_dropped_and_first_pad_ends_the_data) {
  EXPECT_EQ(decodeText("YWI"), "");
  EXPECT_EQ(decodeText("YWJjYQ"), "abc");
  EXPECT_EQ(decodeText("YQ==YWJj"), "a");
  EXPECT_EQ(decodeText("=YWJj"), "");
  EXPECT_EQ(decodeText("YWJj="), "abc");
  EXPECT_EQ(decodeText("YWJ=j"), "ab");
}

TEST(Base64Decoding, non_ascii_anywhere_and_null_give_an_empty_buffer) {
  EXPECT_TRUE(dataWithBase64EncodedString("YWJj\xc3\xa9").empty());
  EXPECT_TRUE(dataWithBase64EncodedString("\xc3\xa9YWJjYWJj").empty());
  EXPECT_TRUE(dataWithBase64EncodedString("YQ==\xc3\xa9").empty());  // after the pad too
  EXPECT_TRUE(dataWithBase64EncodedString(std::string(1000, 'A') + "\x80").empty());
  EXPECT_TRUE(dataWithBase64EncodedString(std::nullopt).empty());
  EXPECT_TRUE(initWithBase64EncodedString(std::nullopt).empty());
  EXPECT_TRUE(dataWithBase64EncodedString("").empty());
}

TEST(Base64Decoding, single_value_before_pad_takes_low_bits_from_previous_group) {
  // First group: slot 1 has held nothing and counts as 0.
  EXPECT_EQ(dataWithBase64EncodedString("Y="), (Data{24 << 2}));
  // "W" (22) was slot 1 of the group before: its top two bits are 01.
  const Data expected{'a', 'b', 'c', 25 << 2 | 1};
  EXPECT_EQ(dataWithBase64EncodedString("YWJjZ="), expected);
  EXPECT_EQ(dataWithBase64EncodedString("Y W J j Z ="), expected);  // group built a value at a time
  EXPECT_EQ(dataWithBase64EncodedString("YWJj\nZ\n="), expected);
  // Two groups: the later one's slot 1 ("/" = 63, top bits 11) wins.
  EXPECT_EQ(dataWithBase64EncodedString("YWJjA/AAZ=").back(), 25 << 2 | 3);
}

TEST(Base64Decoding, agrees_with_a_plain_model_on_random_text) {
  const std::string chars = "ABCXYZabcxyz0189+/=\n\r .-_\t";
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 40, ' ');
    for (auto& c : text) {
      // Mostly alphabet runs, so that whole groups go the fast way.
      c = rng() % 8 != 0 ? "QUJD+/09"[rng() % 8] : chars[rng() % chars.size()];
    }
    if (rng() % 50 == 0) text += "\xc3\xa9";
    ASSERT_EQ(dataWithBase64EncodedString(text), modelDecode(text)) << text;
  }
}

TEST(Base64Decoding, encoded_text_of_any_line_length_decodes_back) {
  for (std::size_t n : {1u, 2u, 3u, 4u, 56u, 57u, 58u, 1000u, 65537u}) {
    Data d = randomBytes(n, static_cast<unsigned>(n));
    for (std::uint32_t len : {0u, 1u, 2u, 10u, 64u, 76u, 77u}) {
      ASSERT_EQ(dataWithBase64EncodedString(base64EncodingWithLineLength(d, len)), d) << n << " " << len;
    }
  }
}

TEST(Base64Interop, system_base64_reads_ours_and_we_read_theirs) {
  testsupport::TempDir dir;
  Data d = randomBytes(10000, 3);
  std::string raw = dir.write("raw.bin", std::string(platform::stringView(d)));

  // Theirs wraps at 76 and always ends with a line feed; ours ends the short
  // last line without one. Otherwise the texts are the same.
  auto theirs = codectest::runCommand("base64 " + raw);
  ASSERT_EQ(theirs.status, 0);
  std::string ours = base64EncodingWithLineLength(d, 76);
  EXPECT_EQ(ours + (ours.back() == '\n' ? "" : "\n"), theirs.output);
  EXPECT_EQ(dataWithBase64EncodedString(theirs.output), d);

  std::string encoded = dir.write("ours.b64", base64EncodingWithLineLength(d, 64));
  auto decoded = codectest::runCommand("base64 -d " + encoded);
  ASSERT_EQ(decoded.status, 0);
  EXPECT_EQ(dataFromString(decoded.output), d);

  std::string oneLine = dir.write("line.b64", base64Encoding(d));
  decoded = codectest::runCommand("base64 -d " + oneLine);
  ASSERT_EQ(decoded.status, 0);
  EXPECT_EQ(dataFromString(decoded.output), d);
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
