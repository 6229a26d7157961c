#include "archive/inflate_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "archive/adler32.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "testing/stream_util.h"

namespace {

uint32_t adler32_of(const std::string& data) {
  uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

// A zlib stream written by hand with stored blocks of at most block_size bytes, independent
// of zlib's compressor.
std::string stored_zlib(const std::string& data, size_t block_size = 65535) {
  std::string out = "\x78\x01";
  size_t at = 0;
  do {
    size_t n = std::min(block_size, data.size() - at);
    bool last = at + n == data.size();
    out += char(last ? 1 : 0);
    out += char(n & 0xFF);
    out += char(n >> 8);
    out += char(~n & 0xFF);
    out += char((~n >> 8) & 0xFF);
    out += data.substr(at, n);
    at += n;
  } while (at < data.size());
  uint32_t adler = adler32_of(data);
  for (int i = 3; i >= 0; --i) out += char((adler >> (8 * i)) & 0xFF);
  return out;
}

std::string sample(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += char('a' + (i * 7 + i / 13) % 26);
  return s;
}

// Inflating in place and ahead on a thread (restored to the default afterwards).
class InflateMode {
 public:
  explicit InflateMode(InflateAhead mode) { set_inflate_ahead(mode); }
  ~InflateMode() { set_inflate_ahead(InflateAhead::kAuto); }
};

// Reads everything the InflateReader yields from a FileData part holding body, followed by
// a Signature part that must stay untouched.
std::string inflate_part_once(const std::string& body, bool* reached_next_part) {
  std::string parts = kpk::part(FileData, body) + kpk::part(Signature, "SIG");
  MemoryStream in(kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts, false);
  PartReader r(in, true);
  r.want(FileData);
  r.want(Signature);
  EXPECT_EQ(r.next_part(), FileData);
  std::string out;
  {
    InflateReader z(r);
    char buf[777];
    while (z.read(buf, sizeof buf) || z.gcount() > 0) out.append(buf, size_t(z.gcount()));
    EXPECT_EQ(z.get(), std::char_traits<char>::eof());
  }
  bool next = r.next_part() == Signature;
  if (reached_next_part) *reached_next_part = next;
  return out;
}

// The same, inflating in place and ahead: both must give the same bytes.
std::string inflate_part(const std::string& body, bool* reached_next_part = nullptr) {
  bool next_in_place = false, next_ahead = false;
  std::string in_place, ahead;
  {
    InflateMode mode(InflateAhead::kNever);
    in_place = inflate_part_once(body, &next_in_place);
  }
  {
    InflateMode mode(InflateAhead::kAlways);
    ahead = inflate_part_once(body, &next_ahead);
  }
  EXPECT_EQ(ahead, in_place);
  EXPECT_EQ(next_ahead, next_in_place);
  if (reached_next_part) *reached_next_part = next_in_place;
  return in_place;
}

// What a reader of the inflated data sees, read by read: the bytes, the part reader's
// offset() after each read (the progress bar's measure), then the package digest and every
// byte that went to the copy target. Reads follow sizes over and over; after stop_after bytes
// the reader gives up (as an extraction that failed does) and moves on to the next part.
struct Observed {
  std::string data;
  std::vector<uint64_t> offsets;
  std::string digest, copied;
  bool operator==(const Observed&) const = default;
};
Observed observe(const std::string& archive, const std::vector<size_t>& sizes,
                 size_t stop_after) {
  Observed o;
  MemoryStream in(archive, false);
  std::stringbuf copied;
  PartReader r(in, true, &copied);
  r.want(FileData);
  r.want(Signature);
  EXPECT_EQ(r.next_part(), FileData);
  {
    InflateReader z(r);
    o.offsets.push_back(r.offset());
    for (size_t i = 0; o.data.size() < stop_after; ++i) {
      std::string chunk(sizes[i % sizes.size()], '\0');
      z.read(chunk.data(), std::streamsize(chunk.size()));
      o.data.append(chunk.data(), size_t(z.gcount()));
      o.offsets.push_back(r.offset());
      if (!z) break;
    }
  }
  EXPECT_EQ(r.next_part(), Signature);
  r.finalize_package_digest();
  uint8_t digest[20];
  EXPECT_TRUE(r.take_package_digest(digest));
  o.digest = hex(digest, 20);
  EXPECT_EQ(r.next_part(), -1);
  o.copied = copied.str();
  return o;
}

TEST(InflateReader, AheadLooksTheSameToTheReader) {
  // Text that compresses about 3:1, so that new input is taken every few windows.
  std::string data;
  uint32_t x = 12345;
  while (data.size() < 300000) {
    x = x * 1103515245u + 12345u;
    static const char* words[] = {"config ", "route ", "eth0 ", "mtu ", "\n", "0x1f "};
    if ((x >> 16) % 3 == 0) data += char('!' + (x >> 8) % 90);
    else data += words[(x >> 16) % 6];
  }
  std::vector<std::string> bodies = {kpk::zlib_compress(data, 6), kpk::zlib_compress(data, 1),
                                     stored_zlib(data, 3000) + "GARBAGE AFTER THE STREAM"};
  std::string damaged = kpk::zlib_compress(data, 6);
  damaged[damaged.size() / 3] ^= 0x20;
  bodies.push_back(damaged);
  bodies.push_back(stored_zlib(data.substr(0, 4089)));  // the trailer alone in the last input
  ASSERT_EQ(bodies.back().size(), 4100u);
  int compared = 0;
  for (const std::string& body : bodies) {
    std::string parts = kpk::part(FileData, body) + kpk::part(Signature, std::string(68, 'S'));
    std::string archive = kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts;
    for (size_t stop_after : {size_t(1) << 30, size_t(100000), size_t(30)}) {
      for (const auto& sizes : std::vector<std::vector<size_t>>{{30, 5, 16384}, {4096}, {1, 777}}) {
        Observed in_place, ahead;
        {
          InflateMode mode(InflateAhead::kNever);
          in_place = observe(archive, sizes, stop_after);
        }
        {
          InflateMode mode(InflateAhead::kAlways);
          ahead = observe(archive, sizes, stop_after);
        }
        EXPECT_EQ(ahead.data, in_place.data) << compared;
        EXPECT_EQ(ahead.offsets, in_place.offsets) << compared;
        EXPECT_EQ(ahead.digest, in_place.digest) << compared;
        EXPECT_TRUE(ahead.copied == in_place.copied && in_place.copied == archive) << compared;
        ++compared;
      }
    }
  }
  EXPECT_EQ(compared, 45);
}

TEST(InflateReader, EmptyInputGivesEndOfFileAtOnce) {
  EXPECT_EQ(inflate_part(kpk::zlib_compress("")), "");
  EXPECT_EQ(inflate_part(stored_zlib("")), "");
}

TEST(InflateReader, DecodesStreamsOfEveryShape) {
  for (size_t n : {1, 4095, 4096, 4097, 50000}) {
    std::string data = sample(n);
    bool next = false;
    EXPECT_EQ(inflate_part(kpk::zlib_compress(data), &next), data) << n;
    EXPECT_TRUE(next);
    EXPECT_EQ(inflate_part(stored_zlib(data, 1000)), data) << n;
    EXPECT_EQ(inflate_part(kpk::zlib_compress(data, 1)), data) << n;
  }
}

TEST(InflateReader, LastInputChunkHoldingOnlyTheTrailer) {
  // 2 header bytes + one 5-byte block header + 4089 data bytes fill the first 4096-byte input
  // chunk exactly; the second chunk is the 4-byte Adler-32 trailer alone.
  std::string data = sample(4089);
  std::string z = stored_zlib(data);
  ASSERT_EQ(z.size(), 4100u);
  bool next = false;
  EXPECT_EQ(inflate_part(z, &next), data);
  EXPECT_TRUE(next);
}

TEST(InflateReader, StreamCutShortYieldsWhatPrecedesTheCut) {
  std::string data = sample(10000);
  std::string z = stored_zlib(data, 3000);
  EXPECT_EQ(inflate_part(z.substr(0, z.size() - 1)), data);  // only the trailer is cut
  std::string cut = inflate_part(z.substr(0, 2 + 5 + 3000 + 5 + 100));
  EXPECT_EQ(cut, data.substr(0, 3100));
  std::string compressed = kpk::zlib_compress(data);
  std::string partial = inflate_part(compressed.substr(0, compressed.size() / 2));
  EXPECT_LT(partial.size(), data.size());
  EXPECT_EQ(partial, data.substr(0, partial.size()));
}

TEST(InflateReader, BytesAfterTheStreamEndAreNeverReturned) {
  std::string data = sample(5000);
  bool next = false;
  EXPECT_EQ(inflate_part(kpk::zlib_compress(data) + "TRAILING GARBAGE", &next), data);
  EXPECT_TRUE(next);
  EXPECT_EQ(inflate_part(stored_zlib(data) + std::string(9000, 'G')), data);
}

// A wrong check value ends the data early, the last window's bytes with it, alike whether
// zlib checks it or the reader does (where the fast Adler-32 is at hand); also when the
// trailer comes in an input chunk of its own.
TEST(InflateReader, WrongCheckValueEndsTheStreamAlike) {
  for (size_t n : {size_t(4089), size_t(5000), size_t(70000)}) {
    std::string data = sample(n);
    for (std::string z : {stored_zlib(data), kpk::zlib_compress(data)}) {
      for (size_t byte : {z.size() - 1, z.size() - 4}) {
        std::string bad = z;
        bad[byte] ^= 0x01;
        std::string own = inflate_part(bad);
        adler32_force_portable(true);  // the portable Adler-32 leaves the check to zlib
        std::string zlibs = inflate_part(bad);
        adler32_force_portable(false);
        EXPECT_EQ(own, zlibs) << n;
        EXPECT_EQ(own, data.substr(0, own.size())) << n;
        // A trailer that comes alone finds every window already handed out.
        if (n != 4089) {
          EXPECT_LT(own.size(), data.size()) << n;
        }
      }
    }
  }
}

TEST(InflateReader, CorruptDataEndsTheStream) {
  std::string data = sample(20000);
  std::string z = kpk::zlib_compress(data);
  z[z.size() / 2] ^= 0x55;
  std::string out = inflate_part(z);
  EXPECT_LT(out.size(), data.size());
  EXPECT_EQ(inflate_part("not zlib at all"), "");
  EXPECT_EQ(inflate_part(""), "");
}

TEST(InflateReader, SkippingForward) {
  for (InflateAhead m : {InflateAhead::kNever, InflateAhead::kAlways}) {
    InflateMode mode(m);
    std::string data = sample(9000);
    std::string parts = kpk::part(FileData, kpk::zlib_compress(data));
    MemoryStream in(kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts);
    PartReader r(in, true);
    r.want(FileData);
    ASSERT_EQ(r.next_part(), FileData);
    InflateReader z(r);
    EXPECT_EQ(z.get(), data[0]);
    z.seekg(5000, std::ios_base::cur);
    ASSERT_TRUE(z.good());
    EXPECT_EQ(z.tellg(), 5001);
    EXPECT_EQ(z.get(), data[5001]);
    z.unget();  // one byte can always be put back, even across a refill
    EXPECT_EQ(z.get(), data[5001]);
    z.seekg(100, std::ios_base::beg);
    EXPECT_TRUE(z.fail());  // only relative forward moves
    z.clear();
    z.seekg(-1, std::ios_base::cur);
    EXPECT_TRUE(z.fail());
    z.clear();
    z.seekg(4000, std::ios_base::cur);
    EXPECT_TRUE(z.fail());  // past the end of the data
  }
}

TEST(InflateReader, PutBackAcrossAWindowRefill) {
  for (InflateAhead m : {InflateAhead::kNever, InflateAhead::kAlways}) {
    InflateMode mode(m);
    std::string data = sample(8192);
    std::string parts = kpk::part(FileData, stored_zlib(data));
    MemoryStream in(kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts);
    PartReader r(in, true);
    r.want(FileData);
    ASSERT_EQ(r.next_part(), FileData);
    InflateReader z(r);
    std::string first(4096, '\0');
    ASSERT_TRUE(z.read(first.data(), 4096));
    EXPECT_EQ(z.get(), data[4096]);  // refills the window
    z.unget();
    z.unget();  // the put-back slot holds the last byte of the previous window
    EXPECT_TRUE(z.good());
    EXPECT_EQ(z.get(), data[4095]);
  }
}

// Positions are 64-bit: a skip that ends at offset 2^32 - 1 of the inflated data is no
// failure (a 32-bit count made it the error value -1), nor is one that crosses 4 GiB.
TEST(InflateReader, SkipsEndingAtOrBeyondFourGigabytes) {
  const uint64_t four_gib = uint64_t(1) << 32;
  {
    // The generator first, against the hand-written stream of the same bytes.
    GeneratedZlibSource small("head", "data", 70000);
    std::string generated;
    for (int c; (c = small.sbumpc()) != EOF;) generated += char(c);
    EXPECT_EQ(generated, "head" + stored_zlib("data" + std::string(70000, '\0')));
  }
  GeneratedZlibSource source("", "", four_gib + 4096);
  InflateStreamBuf inflated(&source);
  std::istream in(&inflated);
  in.seekg(std::streamoff(four_gib - 1), std::ios_base::cur);
  EXPECT_FALSE(in.fail());
  in.seekg(std::streamoff(4096), std::ios_base::cur);  // to the very end
  EXPECT_FALSE(in.fail());
  EXPECT_EQ(in.get(), 0);
  EXPECT_EQ(in.get(), EOF);
}

}  // namespace
