#include "archive/adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// Against zlib's own adler32 over random bytes: lengths around the 32-byte steps and the
// 5552-byte reduction runs, odd start addresses, values continued from earlier ones, and the
// bytes that make the sums largest (all 0xff).
TEST(Adler32, MatchesZlib) {
  std::mt19937 rng(1950);
  std::vector<uint8_t> data(200000);
  for (auto& b : data) b = uint8_t(rng());
  std::vector<uint8_t> ones(20000, 0xff);
  std::vector<size_t> lengths = {0, 1, 31, 32, 33, 63, 64, 5551, 5552, 5553, 11104, 11105, 65536,
                                 199990};
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % 70000);
  for (bool portable : {true, false}) {
    adler32_force_portable(portable);
    for (size_t n : lengths) {
      size_t start = n % 7;
      uLong expected = adler32(1, data.data() + start, uInt(n));
      EXPECT_EQ(adler32_update(1, data.data() + start, n), expected) << n << (portable ? " portable" : "");
      // Continued from a value that is not 1, in two pieces.
      size_t rest = std::min(n, data.size() - 1000);
      uLong first = adler32(1, data.data(), 1000);
      EXPECT_EQ(adler32_update(adler32_update(1, data.data(), 1000), data.data() + 1000, rest),
                adler32(first, data.data() + 1000, uInt(rest)));
    }
    uLong high = adler32(adler32(1, data.data(), 12), ones.data(), uInt(ones.size()));
    EXPECT_EQ(adler32_update(adler32_update(1, data.data(), 12), ones.data(), ones.size()), high);
  }
  adler32_force_portable(false);
}

}  // namespace
