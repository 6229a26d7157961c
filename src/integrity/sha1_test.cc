#include "integrity/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

// FIPS 180-1 appendix vectors and the usual extra lengths around the padding boundary.
TEST(Sha1, PublishedVectors) {
  EXPECT_EQ(sha1_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(sha1_of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(sha1_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
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
