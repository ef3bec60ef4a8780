// gzip streams: round trips, the wrappers accepted, damaged input, the
// size limits. The fuzz target holds inflation against plain zlib.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

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

// A stream with zlib's own wrapper (15), gzip's (31) or none (-15).
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

}  // namespace

TEST(Gzip, round_trips_and_the_wrappers_accepted) {
  // Empty, incompressible beyond one output step, highly compressed, and
  // above the 8 MiB huge-page threshold.
  for (const Data& d : {Data{}, randomBytes(20000, 5), Data(1000000, 0), textLike(9 * 1024 * 1024)}) {
    auto z = gzipDeflate(d);
    ASSERT_TRUE(z);
    EXPECT_EQ(gzipInflate(*z), d) << d.size();
    if (d.empty()) continue;
    EXPECT_EQ(Data(z->begin(), z->begin() + 3), (Data{0x1f, 0x8b, 0x08}));
    EXPECT_EQ(gzipInflate(zlibCompress(d, 15)), d) << d.size();
  }
  Data text = textLike(50000);
  EXPECT_EQ(gzipInflate(zlibCompress(text, 31)), text);
  EXPECT_FALSE(gzipInflate(zlibCompress(text, -15)));  // raw deflate
  Data dict = dataFromString("<item id=");
  EXPECT_FALSE(gzipInflate(zlibCompress(text, 15, &dict)));  // needs a preset dictionary
}

TEST(Gzip, damaged_cut_short_and_foreign_input_gives_nothing_and_only_the_first_member_counts) {
  Data text = textLike(50000);
  Data z = *gzipDeflate(text);
  Data badCheck = z;
  badCheck[badCheck.size() - 6] ^= 0x01;  // inside the CRC-32 of the trailer
  for (const Data& bad : {Data(z.begin(), z.end() - 1), Data(z.begin(), z.begin() + static_cast<long>(z.size() / 2)),
                          badCheck, dataFromString("plain text"), Data{0x1f}, Data{0x78}}) {
    EXPECT_FALSE(gzipInflate(bad)) << bad.size();
  }
  // The trailer at the very end announces the second member's size, which
  // must not cut the result short; trailing junk is ignored.
  Data both = z;
  Data second = *gzipDeflate(dataFromString("second member"));
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(gzipInflate(both), text);
  second.insert(second.end(), {'j', 'u', 'n', 'k', 0xff, 0xff, 0xff, 0x7f});
  EXPECT_EQ(gzipInflate(second), dataFromString("second member"));
}

TEST(Gzip, sizes_at_the_limit_give_nothing_rather_than_a_cut_result) {
  Data zeros(5000, 0);
  Data z = *gzipDeflate(zeros);
  EXPECT_EQ(detail::gzipInflate(z, 5001), zeros);  // 5000 bytes stay below a limit of 5001
  EXPECT_FALSE(detail::gzipInflate(z, 5000));
  EXPECT_FALSE(detail::gzipInflate(zlibCompress(zeros, 15), 4096));
  EXPECT_FALSE(detail::gzipInflate(z, z.size()));  // the input itself at the limit
  EXPECT_FALSE(detail::gzipDeflate(zeros, 5000));
  EXPECT_EQ(detail::gzipDeflate(zeros, 5001), z);
  Data noise = randomBytes(3000, 9);
  EXPECT_FALSE(detail::gzipDeflate(noise, 3010));  // the stream is longer than its input
  EXPECT_EQ(gzipInflate(*detail::gzipDeflate(noise, 4000)), noise);
}

TEST(GzipFile, decompresses_only_names_ending_in_gz) {
  testsupport::TempDir dir;
  const std::string xml = "<doc><a>1</a></doc>";
  const Data compressed = *gzipDeflate(dataFromString(xml));
  const std::string bytes(platform::stringView(compressed));
  for (const char* name : {"doc.xml.GZ", "doc.xml", "dir.gz/doc"}) {
    EXPECT_EQ(dataWithUncompressedContentsOfFile(dir.write(name, bytes)), compressed) << name;
  }
  EXPECT_EQ(dataWithUncompressedContentsOfFile(dir.write("doc.xml.gz", bytes)), dataFromString(xml));
  EXPECT_EQ(dataWithUncompressedContentsOfFile(dir.write("empty.gz", "")), Data{});
  EXPECT_FALSE(dataWithUncompressedContentsOfFile(dir.file("missing.gz")));
  EXPECT_FALSE(dataWithUncompressedContentsOfFile(dir.file("missing.xml")));
  EXPECT_FALSE(dataWithUncompressedContentsOfFile(dir.write("bad.gz", xml)));
}
