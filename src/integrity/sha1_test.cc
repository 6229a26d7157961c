#include "integrity/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "integrity/test_support.h"
#include "testing/stream_util.h"

namespace {

std::string sha1_of(const std::string& message, size_t chunk = 0) {
  Sha1 h;
  if (chunk == 0) {
    h.update(message.data(), message.size());
  } else {
    for (size_t i = 0; i < message.size(); i += chunk)
      h.update(message.data() + i, std::min(chunk, message.size() - i));
  }
  uint8_t d[20];
  h.finish(d);
  return hex(d, 20);
}

// Runs a check once with the portable compression and once with the CPU's SHA instructions
// (where this machine has them), and leaves the process on the CPU's choice.
struct Compression {
  const char* name;
  bool portable;
};
std::vector<Compression> compressions() {
  std::vector<Compression> c = {{"portable", true}};
  if (sha1_hardware_available()) c.push_back({"SHA instructions", false});
  return c;
}
class ForcePortable {
 public:
  explicit ForcePortable(bool portable) { sha1_force_portable(portable); }
  ~ForcePortable() { sha1_force_portable(false); }
};

// FIPS 180-1 appendix vectors and the usual extra lengths around the padding boundary.
TEST(Sha1, PublishedVectors) {
  for (const Compression& c : compressions()) {
    ForcePortable force(c.portable);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sha1_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(sha1_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  }
}

// Python's hashlib over random lengths (testdata/make_sha1_vectors.py), each message fed
// whole and in uneven pieces, through both compressions.
TEST(Sha1, MatchesHashlibOnRandomLengths) {
  int checked = 0;
  for (const auto& w : integrity_test::data_lines("sha1_vectors.txt")) {
    ASSERT_EQ(w.size(), 3u);
    size_t n = std::stoul(w[1]);
    std::string m(n, '\0');
    for (size_t i = 0; i < n; ++i) m[i] = char((i * i + 7 * i + n) & 0xff);
    for (const Compression& c : compressions()) {
      ForcePortable force(c.portable);
      EXPECT_EQ(sha1_of(m), w[2]) << c.name << ", length " << n;
      EXPECT_EQ(sha1_of(m, 1 + n % 97), w[2]) << c.name << ", length " << n << " in pieces";
    }
    ++checked;
  }
  EXPECT_GE(checked, 70);
}

TEST(Sha1, ChunkingDoesNotMatter) {
  std::string m;
  for (int i = 0; i < 1000; ++i) m += char(i * 7 + 3);
  std::string whole = sha1_of(m);
  for (size_t chunk : {1, 3, 55, 56, 63, 64, 65, 127})
    EXPECT_EQ(sha1_of(m, chunk), whole) << chunk;
}

TEST(Sha1, FinishResetsForTheNextMessage) {
  Sha1 h;
  uint8_t d[20];
  h.update("junk", 4);
  h.finish(d);
  h.update("abc", 3);
  h.finish(d);
  EXPECT_EQ(hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

}  // namespace
