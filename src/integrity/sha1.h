// SHA-1 (FIPS 180-1): the package digest's hash. Incremental: feed any number of byte runs,
// then finish once. A finished context must be reset before it is fed again.
//
// The compression runs on the CPU's SHA instructions where it has them (x86 and x86-64,
// found once per process at the first use) and on portable code everywhere else; both give
// the same digests.
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
  uint32_t state_[5];
  uint64_t length_;       // bytes fed so far
  uint8_t block_[64];
  uint32_t block_used_;
};

// Whether this CPU has the SHA instructions that the fast compression uses.
bool sha1_hardware_available();
// portable = true: every context of the process uses the portable compression from now on
// (tests and benchmarks compare the two); false: back to the CPU's choice.
void sha1_force_portable(bool portable);
