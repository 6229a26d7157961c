// The signature hash: the SHA-256 construction (message schedule, compression, padding with
// the big-endian 64-bit bit count, big-endian output) with its initial chaining value and
// its 64 round constants as parameters. With the standard constants it is SHA-256; the
// signature check uses the installer's own, built in from the trust directory.
#pragma once

#include <cstddef>
#include <cstdint>

struct SignatureHashConstants {
  uint32_t initial[8];
  uint32_t rounds[64];
};

constexpr size_t kSignatureHashSize = 32;

// The standard SHA-256 constants.
extern const SignatureHashConstants kSha256Constants;

// Hashes one contiguous buffer.
void signature_hash(const SignatureHashConstants& constants, const void* data, size_t length,
                    uint8_t out[kSignatureHashSize]);
