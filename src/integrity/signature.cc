#include "integrity/signature.h"

#include <cstring>

#include "integrity/curve25519.h"
#include "integrity/trust_anchors.h"

void signature_challenge(const SignatureHashConstants& constants, const uint8_t digest[20],
                         const uint8_t r[16], uint8_t h[32]) {
  signature_hash(constants, digest, kRecordDigestSize, h);
  for (uint32_t i = 0; i < kRecordRSize; ++i) h[8 + i] ^= r[i];
  h[0] &= 0xF8;
  h[31] = (h[31] & 0x7F) | 0x40;
}

bool signature_record_valid_for(const SignatureHashConstants& constants,
                                const uint8_t public_key[32], const uint8_t digest[20],
                                const uint8_t record[kSignatureRecordSize]) {
  if (memcmp(record, digest, kRecordDigestSize) != 0) return false;
  const uint8_t* r = record + kRecordDigestSize;
  const uint8_t* v = r + kRecordRSize;
  uint8_t h[32];
  signature_challenge(constants, digest, r, h);
  uint8_t y[32];
  if (!curve_combination_x(public_key, v, h, y)) return false;
  uint8_t c[kSignatureHashSize];
  signature_hash(constants, y, sizeof y, c);
  return memcmp(c, r, kRecordRSize) == 0;
}

bool signature_record_valid(const uint8_t digest[20],
                            const uint8_t record[kSignatureRecordSize]) {
  return signature_record_valid_for(kSignatureHashConstants, kSigningPublicKey, digest, record);
}
