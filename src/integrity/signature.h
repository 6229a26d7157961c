// The signature check of one package: a 68-byte signature record (digest copy, r, v) against
// the package digest the reader computed, verified on Curve25519 with the built-in public key.
//
// Record layout: bytes 0-19 the digest copy, 20-35 r, 36-67 v (little-endian, all 256 bits).
// The package is genuine when, with m = H(digest), h = m with bytes 8..23 XORed with r and
// clamped, and Y = v·P + h·G, the first 16 bytes of H(x(Y)) equal r (H: the signature hash,
// P: the signing key's point).
#pragma once

#include <cstdint>

#include "integrity/signature_hash.h"

constexpr uint32_t kRecordDigestSize = 20;
constexpr uint32_t kRecordRSize = 16;
constexpr uint32_t kSignatureRecordSize = 68;  // the part body may hold more; it is skipped

// True when the record's digest copy equals digest and the signature verifies. The digest
// copy is compared before any curve arithmetic.
bool signature_record_valid(const uint8_t digest[20], const uint8_t record[kSignatureRecordSize]);

// The same check with a given signature hash and public key (the key's x-coordinate, 32
// bytes little-endian). False as well when the key is not a point of the curve.
bool signature_record_valid_for(const SignatureHashConstants& constants,
                                const uint8_t public_key[32], const uint8_t digest[20],
                                const uint8_t record[kSignatureRecordSize]);

// The scalar h of a record: the signature hash of the digest with bytes 8..23 XORed with r,
// then clamped (bits 0-2 and 255 cleared, bit 254 set). Shared with the signer.
void signature_challenge(const SignatureHashConstants& constants, const uint8_t digest[20],
                         const uint8_t r[16], uint8_t h[32]);
