#include "archive/part_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "archive/part_type.h"
#include "archive_writer.h"
#include "testing/stream_util.h"

namespace {

using kpk::file_header;
using kpk::part;
using kpk::part_header;

std::string from_hex(const char* text) {
  std::string out;
  for (const char* p = text; p[0] && p[1];) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out += char(std::stoi(std::string(p, 2), nullptr, 16));
    p += 2;
  }
  return out;
}

// The 46-byte archive holding package abc 3.0, build 0.
std::string abc_archive() {
  return from_hex("1EF1D0BA 26000000 010020000000 616263") + std::string(13, '\0') +
         from_hex("00660003") + std::string(12, '\0');
}

std::string archive(const std::string& parts, uint32_t magic = kRegularMagic) {
  return file_header(magic, uint32_t(parts.size())) + parts;
}

std::string header_part(const char* name) {
  return part(PackageHeader, kpk::header_record(name, 0x03006600, 0));
}

TEST(PartReader, ReadsTheSmallestPackage) {
  std::string bytes = abc_archive();
  ASSERT_EQ(bytes.size(), 46u);
  MemoryStream in(bytes);
  PartReader r(in, true);
  EXPECT_FALSE(r.is_plain());
  EXPECT_EQ(r.total_length(), 46u);
  EXPECT_EQ(r.position(), 8u);
  r.want(PackageHeader);
  ASSERT_EQ(r.next_part(), PackageHeader);
  EXPECT_EQ(r.current_length(), 32u);
  EXPECT_EQ(r.position(), 14u);
  uint8_t h[32];
  ASSERT_TRUE(r.read(reinterpret_cast<char*>(h), 32));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h)), "abc");
  EXPECT_EQ(load_le32(h + 16), 0x03006600u);
  EXPECT_EQ(r.next_part(), -1);
  EXPECT_EQ(r.current_type(), -1);
  EXPECT_EQ(r.next_part(), -1);
}

TEST(PartReader, MagicDecidesKindAndShortHeadersFail) {
  std::string parts = header_part("p");
  {
    MemoryStream in(archive(parts, kPlainMagic));
    PartReader r(in, true);
    r.want(PackageHeader);
    EXPECT_TRUE(r.is_plain());
    EXPECT_EQ(r.next_part(), PackageHeader);
  }
  {
    MemoryStream in(archive(parts, 0xBAD0F11F));
    PartReader r(in, true);
    r.want(PackageHeader);
    EXPECT_EQ(r.next_part(), -1);
  }
  for (size_t n = 0; n < 8; ++n) {
    MemoryStream in(abc_archive().substr(0, n));
    PartReader r(in, true);
    r.want(PackageHeader);
    EXPECT_EQ(r.next_part(), -1) << n;
  }
}

TEST(PartReader, HeaderLengthIsNotUsedToDelimitTheStream) {
  std::string bytes = abc_archive();
  bytes[4] = 0x10;  // claims 16 bytes follow
  MemoryStream in(bytes);
  PartReader r(in, true);
  r.want(PackageHeader);
  EXPECT_EQ(r.total_length(), 24u);
  EXPECT_EQ(r.next_part(), PackageHeader);
}

TEST(PartReader, WalksOnlyWantedPartsAndHashesEverythingAfterTheFileHeader) {
  std::string parts = header_part("p") + part(5, "unknown type") +
                      part(FileData, "not really zlib") + part(Signature, std::string(68, 'S'));
  std::string bytes = archive(parts);
  for (bool seekable : {true, false}) {
    MemoryStream in(bytes, seekable);
    StringSink copy;
    PartReader r(in, true, &copy);
    r.want(Signature);
    ASSERT_EQ(r.next_part(), Signature);
    r.finalize_package_digest();
    uint8_t digest[20];
    ASSERT_TRUE(r.take_package_digest(digest));
    // Everything from the first part header up to and including the signature part header.
    EXPECT_EQ(hex(digest, 20), sha1_hex(parts.substr(0, parts.size() - 68)));
    EXPECT_EQ(in.source().seeks(), 0);
    EXPECT_EQ(r.next_part(), -1);
    EXPECT_EQ(copy.data(), bytes);  // every byte copied exactly once, file header included
  }
}

TEST(PartReader, SkipsBySeekingOnlyWhenNothingNeedsTheBytes) {
  std::string big(100000, 'x');
  std::string bytes = archive(header_part("p") + part(FileData, big) + part(Signature, "sig"));
  MemoryStream in(bytes);
  PartReader r(in, false);
  r.want(Signature);
  ASSERT_EQ(r.next_part(), Signature);
  EXPECT_EQ(in.source().seeks(), 2);
  char sig[3];
  ASSERT_TRUE(r.read(sig, 3));
  EXPECT_EQ(std::string(sig, 3), "sig");

  // Without seeking the same walk reads through.
  MemoryStream pipe(bytes, false);
  PartReader p(pipe, false);
  p.want(Signature);
  EXPECT_EQ(p.next_part(), Signature);
  EXPECT_EQ(p.position() + p.tellg(), uint32_t(bytes.size() - 3));
}

TEST(PartReader, DigestIsFinalisedAtEachPackageHeaderAndAtTheEnd) {
  std::string first = header_part("a") + part(FileData, "aaaa");
  std::string second = header_part("b") + part(FileData, "bbbbbb");
  MemoryStream in(archive(first + second));
  PartReader r(in, true);
  r.want(PackageHeader);
  r.want(FileData);
  uint8_t d[20];
  ASSERT_EQ(r.next_part(), PackageHeader);
  ASSERT_TRUE(r.take_package_digest(d));  // the (empty) run before the first package
  EXPECT_EQ(hex(d, 20), sha1_hex(""));
  ASSERT_EQ(r.next_part(), FileData);
  EXPECT_FALSE(r.take_package_digest(d));
  ASSERT_EQ(r.next_part(), PackageHeader);
  ASSERT_TRUE(r.take_package_digest(d));
  EXPECT_EQ(hex(d, 20), sha1_hex(first));
  EXPECT_FALSE(r.take_package_digest(d));
  ASSERT_EQ(r.next_part(), FileData);
  ASSERT_EQ(r.next_part(), -1);
  ASSERT_TRUE(r.take_package_digest(d));
  EXPECT_EQ(hex(d, 20), sha1_hex(second));
  EXPECT_FALSE(r.take_package_digest(d));
}

TEST(PartReader, ShortReadFailsTheStreamForGood) {
  MemoryStream in(archive(part(FileData, "123456") + header_part("p")));
  PartReader r(in, true);
  r.want(FileData);
  r.want(PackageHeader);
  ASSERT_EQ(r.next_part(), FileData);
  char buf[10];
  r.read(buf, 10);
  EXPECT_EQ(r.gcount(), 6);
  EXPECT_TRUE(r.fail());
  EXPECT_EQ(r.next_part(), -1);
  EXPECT_EQ(r.next_part(), -1);
}

TEST(PartReader, EmptyPartsAndBodiesCutShort) {
  std::string bytes = archive(part(Description, "") + part(FileData, "0123456789"));
  bytes.resize(bytes.size() - 4);  // the last body is 4 bytes short
  MemoryStream in(bytes);
  PartReader r(in, true);
  r.want(Description);
  r.want(FileData);
  ASSERT_EQ(r.next_part(), Description);
  EXPECT_EQ(r.current_length(), 0u);
  EXPECT_EQ(r.peek(), std::char_traits<char>::eof());  // end of file, but no failure
  ASSERT_EQ(r.next_part(), FileData);
  char buf[10];
  r.read(buf, 10);
  EXPECT_EQ(r.gcount(), 6);
  EXPECT_EQ(r.next_part(), -1);
}

TEST(PartReader, LyingPartLengthEndsTheWalkWithoutReadingMore) {
  // A declared length of 4 GiB - 1 over a few bytes: skipping runs short and ends the walk.
  std::string bytes = archive(part_header(Description, 0xFFFFFFFF) + "tiny" +
                              header_part("never"));
  for (bool hashing : {true, false}) {
    MemoryStream in(bytes);
    PartReader r(in, hashing);
    r.want(PackageHeader);
    EXPECT_EQ(r.next_part(), -1);
  }
}

TEST(PartReader, PutBackBytesAreHashedAndCopiedOnce) {
  std::string parts = part(FileData, "abcdef");
  MemoryStream in(archive(parts));
  StringSink copy;
  PartReader r(in, true, &copy);
  r.want(FileData);
  ASSERT_EQ(r.next_part(), FileData);
  EXPECT_EQ(r.unget().fail(), true);  // nothing consumed yet: nothing to put back
  r.clear();
  EXPECT_EQ(r.get(), 'a');
  EXPECT_EQ(r.get(), 'b');
  r.unget();
  r.putback('a');
  ASSERT_TRUE(r.good());
  char rest[6];
  ASSERT_TRUE(r.read(rest, 6));
  EXPECT_EQ(std::string(rest, 6), "abcdef");
  EXPECT_EQ(r.next_part(), -1);
  uint8_t d[20];
  ASSERT_TRUE(r.take_package_digest(d));
  EXPECT_EQ(hex(d, 20), sha1_hex(parts));
  EXPECT_EQ(copy.data().substr(8), parts);
}

TEST(PartReader, SeekingWithinAPart) {
  std::string bytes = archive(part(FileData, "0123456789") + part(Signature, "s"));
  {
    MemoryStream in(bytes);
    PartReader r(in, true);
    r.want(FileData);
    r.want(Signature);
    ASSERT_EQ(r.next_part(), FileData);
    EXPECT_EQ(r.tellg(), 0);
    r.seekg(4);
    EXPECT_EQ(r.tellg(), 4);
    EXPECT_EQ(r.get(), '4');
    r.seekg(-3, std::ios_base::cur);
    EXPECT_TRUE(r.fail());  // backwards is impossible while hashing
    r.clear();
    r.seekg(11);
    EXPECT_TRUE(r.fail());  // past the part
    r.clear();
    r.seekg(2, std::ios_base::cur);
    EXPECT_EQ(r.get(), '7');
    r.seekg(0, std::ios_base::end);
    EXPECT_TRUE(r.fail());
    r.clear();
    EXPECT_EQ(r.next_part(), Signature);
  }
  {
    MemoryStream in(bytes);
    PartReader r(in, false);
    r.want(FileData);
    ASSERT_EQ(r.next_part(), FileData);
    r.seekg(8);
    r.seekg(2);
    EXPECT_TRUE(r.good());  // a seekable source without hashing can go back
    EXPECT_EQ(r.get(), '2');
    EXPECT_EQ(r.remaining(), 7u);
  }
}

// Every prefix of a small archive walks to a clean end or failure.
TEST(PartReader, EveryTruncationEndsCleanly) {
  std::string parts = header_part("p") + part(Description, "desc") + part(5, "xyz") +
                      part(FileData, "data") + part(Signature, std::string(70, 's'));
  std::string bytes = archive(parts);
  for (size_t n = 0; n <= bytes.size(); ++n) {
    for (bool hashing : {true, false}) {
      MemoryStream in(bytes.substr(0, n), hashing);
      PartReader r(in, hashing);
      for (int32_t t : {PackageHeader, Description, FileData, Signature}) r.want(t);
      int parts_seen = 0;
      while (r.next_part() >= 0) {
        ++parts_seen;
        std::string body(r.current_length() < 100 ? r.current_length() : 100, '\0');
        r.read(body.data(), std::streamsize(body.size()));
        ASSERT_LE(parts_seen, 4);
      }
      if (n == bytes.size()) {
        EXPECT_EQ(parts_seen, 4);
      }
    }
  }
}

}  // namespace
