// The build's trust anchors, generated from the trust directory (trust/ by default, or the
// one the build names) into read-only tables: the signing public key, the signature hash's
// constants and the trusted digest list. The build refuses a public key that is not on the
// curve or has small order, so the key here is always usable.
#pragma once

#include <cstdint>

#include "integrity/signature_hash.h"

// x-coordinate of the signing key's point, 32 bytes little-endian.
extern const uint8_t kSigningPublicKey[32];
extern const SignatureHashConstants kSignatureHashConstants;
// Package digests accepted without a signature part: kTrustedDigestCount entries of 20
// bytes, all distinct, in no particular order.
extern const uint8_t (*const kTrustedDigests)[20];
extern const uint32_t kTrustedDigestCount;
