// gzip streams: the header written, the wrappers accepted, damaged input
// and the size limits (gzipped files are read through the XML reader's
// loaders). The fuzz target holds inflation and round trips against zlib.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "GzipLimits.h"
#include "codec/Compression.h"

using namespace KDXML_Compression;
using platform::Data;
using platform::dataFromString;

namespace {

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

TEST(Gzip, header_wrappers_damage_members_and_limits) {
  // Above the 8 MiB huge-page threshold, and beyond one output step.
  for (const Data& d : {textLike(9 * 1024 * 1024), textLike(50000)}) {
    const Data z = *gzipDeflate(d);
    EXPECT_EQ(Data(z.begin(), z.begin() + 3), (Data{0x1f, 0x8b, 0x08}));
    EXPECT_EQ(gzipInflate(z), d);
    EXPECT_EQ(gzipInflate(zlibCompress(d, 15)), d);
    EXPECT_EQ(gzipInflate(zlibCompress(d, 31)), d);
  }
  const Data text = textLike(50000), z = *gzipDeflate(text), dict = dataFromString("<item id=");
  Data badCheck = z;
  badCheck[badCheck.size() - 6] ^= 0x01;  // inside the CRC-32 of the trailer
  for (const Data& bad :
       {Data(z.begin(), z.end() - 1), Data(z.begin(), z.begin() + static_cast<long>(z.size() / 2)), badCheck,
        dataFromString("plain text"), Data{0x1f}, Data{0x78}, zlibCompress(text, -15), zlibCompress(text, 15, &dict)}) {
    EXPECT_FALSE(gzipInflate(bad)) << bad.size();
  }
  // The trailer at the very end announces the second member's size, which
  // must not cut the result short; trailing junk is ignored.
  Data both = z, second = *gzipDeflate(dataFromString("second member"));
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(gzipInflate(both), text);
  second.insert(second.end(), {'j', 'u', 'n', 'k', 0xff, 0xff, 0xff, 0x7f});
  EXPECT_EQ(gzipInflate(second), dataFromString("second member"));
  // Sizes at the limit give nothing rather than a cut result.
  const Data zeros(5000, 0), zz = *gzipDeflate(zeros), noise = textLike(3000);
  EXPECT_EQ(detail::gzipInflate(zz, 5001), zeros);
  EXPECT_FALSE(detail::gzipInflate(zz, 5000));
  EXPECT_FALSE(detail::gzipInflate(zlibCompress(zeros, 15), 4096));
  EXPECT_FALSE(detail::gzipInflate(zz, zz.size()));  // the input itself at the limit
  EXPECT_FALSE(detail::gzipDeflate(zeros, 5000));
  EXPECT_EQ(detail::gzipDeflate(zeros, 5001), zz);
  EXPECT_FALSE(detail::gzipDeflate(noise, static_cast<std::size_t>(zlibCompress(noise, 31).size() / 2)));
}
