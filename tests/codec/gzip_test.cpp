#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "CommandRunner.h"
#include "GzipLimits.h"
#include "codec/Compression.h"
#include "testsupport/TestSupport.h"

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

Data textLike(std::size_t n) {
  Data d;
  for (int i = 0; d.size() < n; ++i) {
    std::string line = "<item id=\"" + std::to_string(i) + "\">value " + std::to_string(i * 7 % 1000) + "</item>\n";
    d.insert(d.end(), line.begin(), line.end());
  }
  d.resize(n);
  return d;
}

// A stream with zlib's own wrapper (windowBits 15) or none at all (-15).
Data zlibCompress(const Data& in, int windowBits, const Data* dictionary = nullptr) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  if (dictionary) deflateSetDictionary(&zs, dictionary->data(), static_cast<uInt>(dictionary->size()));
  Data out(deflateBound(&zs, in.size()) + 64);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string asString(const Data& d) { return std::string(platform::stringView(d)); }

}  // namespace

TEST(Gzip, empty_buffer_comes_back_as_an_empty_buffer) {
  ASSERT_TRUE(gzipDeflate({}).has_value());
  EXPECT_TRUE(gzipDeflate({})->empty());
  ASSERT_TRUE(gzipInflate({}).has_value());
  EXPECT_TRUE(gzipInflate({})->empty());
}

TEST(Gzip, deflate_writes_a_gzip_stream_that_inflates_back) {
  auto z = gzipDeflate(dataFromString("abc"));
  ASSERT_TRUE(z);
  ASSERT_GE(z->size(), 18u);
  EXPECT_EQ((*z)[0], 0x1f);
  EXPECT_EQ((*z)[1], 0x8b);
  EXPECT_EQ((*z)[2], 0x08);
  EXPECT_EQ(gzipInflate(*z), dataFromString("abc"));

  // Incompressible data longer than one 16 KiB output step.
  Data noise = randomBytes(20000, 5);
  auto zn = gzipDeflate(noise);
  ASSERT_TRUE(zn);
  EXPECT_GT(zn->size(), 16384u);
  EXPECT_EQ(gzipInflate(*zn), noise);

  Data text = textLike(3 * 1024 * 1024);
  auto zt = gzipDeflate(text);
  ASSERT_TRUE(zt);
  EXPECT_LT(zt->size(), text.size() / 4);
  EXPECT_EQ(gzipInflate(*zt), text);
}

TEST(Gzip, inflate_accepts_zlib_and_gzip_wrappers_only) {
  Data text = textLike(50000);
  EXPECT_EQ(gzipInflate(zlibCompress(text, 15)), text);
  EXPECT_EQ(gzipInflate(zlibCompress(text, 15 + 16)), text);
  EXPECT_FALSE(gzipInflate(zlibCompress(text, -15)));  // raw deflate
  Data dict = dataFromString("<item id=");
  EXPECT_FALSE(gzipInflate(zlibCompress(text, 15, &dict)));  // needs a preset dictionary
}

TEST(Gzip, damaged_cut_short_and_foreign_input_gives_nothing) {
  Data text = textLike(50000);
  Data z = *gzipDeflate(text);

  Data cut(z.begin(), z.end() - 1);
  EXPECT_FALSE(gzipInflate(cut));
  Data half(z.begin(), z.begin() + static_cast<long>(z.size() / 2));
  EXPECT_FALSE(gzipInflate(half));

  Data badCheck = z;
  badCheck[badCheck.size() - 6] ^= 0x01;  // inside the CRC-32 of the trailer
  EXPECT_FALSE(gzipInflate(badCheck));

  EXPECT_FALSE(gzipInflate(dataFromString("plain text, not compressed at all")));
  EXPECT_FALSE(gzipInflate(Data{0x1f}));  // one byte can never be a whole stream
  EXPECT_FALSE(gzipInflate(Data{0x78}));
}

TEST(Gzip, inflate_stops_at_the_end_of_the_first_member) {
  Data first = textLike(100000);
  Data second = dataFromString("second member");
  Data both = *gzipDeflate(first);
  Data z2 = *gzipDeflate(second);
  both.insert(both.end(), z2.begin(), z2.end());
  // The trailer at the very end announces the second member's size, which
  // must not cut the result short.
  EXPECT_EQ(gzipInflate(both), first);

  Data trailing = *gzipDeflate(second);
  trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 0xff, 0xff, 0xff, 0x7f});
  EXPECT_EQ(gzipInflate(trailing), second);
}

TEST(Gzip, highly_compressed_data_expands_fully) {
  Data zeros(1000000, 0);
  Data z = *gzipDeflate(zeros);
  EXPECT_LT(z.size(), 2000u);
  EXPECT_EQ(gzipInflate(z), zeros);
  // Without a gzip trailer to go by, the output grows step by step.
  Data zz = zlibCompress(zeros, 15);
  EXPECT_EQ(gzipInflate(zz), zeros);
}

TEST(Gzip, sizes_at_the_limit_give_nothing_rather_than_a_cut_result) {
  using detail::gzipDeflate;
  using detail::gzipInflate;
  Data zeros(5000, 0);
  Data z = *KDXML_Compression::gzipDeflate(zeros);

  EXPECT_EQ(gzipInflate(z, 5001), zeros);  // 5000 bytes stay below a limit of 5001
  EXPECT_FALSE(gzipInflate(z, 5000));
  EXPECT_FALSE(gzipInflate(zlibCompress(zeros, 15), 4096));
  EXPECT_FALSE(gzipInflate(z, z.size()));  // the input itself at the limit

  EXPECT_FALSE(gzipDeflate(zeros, 5000));
  EXPECT_EQ(gzipDeflate(zeros, 5001), z);
  Data noise = randomBytes(3000, 9);
  EXPECT_FALSE(gzipDeflate(noise, 3010));  // the stream is longer than its input
  auto fits = gzipDeflate(noise, 4000);
  ASSERT_TRUE(fits);
  EXPECT_EQ(KDXML_Compression::gzipInflate(*fits), noise);
}

TEST(GzipFile, decompresses_only_names_ending_in_gz) {
  testsupport::TempDir dir;
  std::string xml = "<doc><a>1</a></doc>";
  std::string compressed = asString(*gzipDeflate(dataFromString(xml)));

  EXPECT_EQ(dataWithUncompressedContentsOfFile(dir.write("doc.xml.gz", compressed)), dataFromString(xml));
  EXPECT_EQ(dataWithUncompressedContentsOfFile(dir.write("doc.xml.GZ", compressed)), dataFromString(compressed));
  EXPECT_EQ(dataWithUncompressedContentsOfFile(dir.write("doc.xml", compressed)), dataFromString(compressed));
  EXPECT_EQ(dataWithUncompressedContentsOfFile(dir.write("dir.gz/doc", compressed)), dataFromString(compressed));
  EXPECT_FALSE(dataWithUncompressedContentsOfFile(dir.file("missing.gz")));
  EXPECT_FALSE(dataWithUncompressedContentsOfFile(dir.file("missing.xml")));
  EXPECT_FALSE(dataWithUncompressedContentsOfFile(dir.write("bad.gz", xml)));

  auto empty = dataWithUncompressedContentsOfFile(dir.write("empty.gz", ""));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(GzipInterop, system_gzip_reads_ours_and_we_read_theirs) {
  testsupport::TempDir dir;
  Data text = textLike(200000);
  Data noise = randomBytes(70000, 11);

  for (const Data* d : {&text, &noise}) {
    std::string path = dir.write("ours.gz", asString(*gzipDeflate(*d)));
    auto r = codectest::runCommand("gzip -dc " + path);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(dataFromString(r.output), *d);

    std::string plain = dir.write("plain.bin", asString(*d));
    ASSERT_EQ(codectest::runCommand("gzip -9 -f " + plain).status, 0);
    EXPECT_EQ(dataWithUncompressedContentsOfFile(plain + ".gz"), *d);
  }
}

TEST(LargeBuffers, round_trips_through_base64_and_gzip_above_the_huge_page_threshold) {
  // Buffers from 8 MiB up are allocated with a hint for huge pages.
  Data text = textLike(9 * 1024 * 1024);
  std::string b64 = base64EncodingWithLineLength(text, 76);
  EXPECT_EQ(dataWithBase64EncodedString(b64), text);
  auto z = gzipDeflate(text);
  ASSERT_TRUE(z);
  EXPECT_EQ(gzipInflate(*z), text);
  Data noise = randomBytes(9 * 1024 * 1024, 13);
  EXPECT_EQ(gzipInflate(*gzipDeflate(noise)), noise);
}
