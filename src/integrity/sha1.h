// SHA-1 (FIPS 180-1): the package digest's hash. Incremental: feed any number of byte runs,
// then finish once. A finished context must be reset before it is fed again.
#pragma once

#include <cstddef>
#include <cstdint>

class Sha1 {
 public:
  static constexpr size_t kDigestSize = 20;

  Sha1() { reset(); }
  // Starts a new message with the standard initial value.
  void reset();
  void update(const void* data, size_t length);
  // Pads, writes the 20-byte big-endian digest to out and resets the context.
  void finish(uint8_t out[kDigestSize]);

 private:
  void compress(const uint8_t block[64]);

  uint32_t state_[5];
  uint64_t length_;       // bytes fed so far
  uint8_t block_[64];
  uint32_t block_used_;
};
