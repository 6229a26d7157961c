// Signing of package digests: the counterpart of the signature check, for the host tools
// and the tests. The installer itself never signs and does not call this.
//
// Scheme: private scalar x, public key x(P) with P = x·G taken with its even y (a key whose
// x·G has the odd y is stored as -x, which has the same public key). To sign digest D:
// k = a nonce derived from x and D, Y = k·G, r = first 16 bytes of H(x(Y)), h from D and r
// as the check derives it, v = (k - h) / x modulo the group order; then v·P + h·G = Y.
#pragma once

#include <cstdint>
#include <string>

#include "integrity/scalar25519.h"
#include "integrity/signature.h"
#include "integrity/signature_hash.h"

struct SigningKey {
  Scalar scalar;            // x, with x·G the even-y point of public_key
  uint8_t public_key[32];   // x(P), little-endian, fully reduced
};

// A key from 64 bytes of secret randomness. False only when they reduce to zero.
bool signing_key_from_seed(SigningKey& key, const uint8_t seed[64]);
// A key from a stored private scalar (32 bytes little-endian). False when the scalar is
// zero or not below the group order.
bool signing_key_from_private(SigningKey& key, const uint8_t private_scalar[32]);
void signing_key_private_bytes(const SigningKey& key, uint8_t out[32]);

// Writes the 68-byte signature record (digest copy, r, v) for a package digest.
// Deterministic: the same key and digest give the same record.
void sign_digest(const SignatureHashConstants& constants, const SigningKey& key,
                 const uint8_t digest[20], uint8_t record[kSignatureRecordSize]);

// Key files: text whose lines starting with '#' are comments, holding one key of 64 hex
// digits (32 bytes, in byte order). False when there is not exactly one such key.
bool parse_key_text(const std::string& text, uint8_t key[32]);
// The text of a key file: each line of comment prefixed with "# ", then the key's hex.
std::string key_text(const uint8_t key[32], const std::string& comment);
