#include "integrity/trusted_digest.h"

#include <cstring>

#include "integrity/trust_anchors.h"

bool is_trusted_digest(const uint8_t digest[20]) {
  for (uint32_t i = 0; i < kTrustedDigestCount; ++i)
    if (memcmp(kTrustedDigests[i], digest, 20) == 0) return true;
  return false;
}
