#include "integrity/signer.h"

#include <cstring>
#include <sstream>

#include "integrity/curve25519.h"
#include "integrity/hex.h"
#include "integrity/signature.h"

namespace {

// Completes key from its scalar: computes the public key and negates the scalar when its
// point has the odd y. False when the scalar is zero.
bool complete_key(SigningKey& key) {
  if (scalar_is_zero(key.scalar)) return false;
  uint8_t x[32];
  scalar_to_bytes(x, key.scalar);
  bool even_y = false;
  if (!curve_base_multiple(x, key.public_key, &even_y)) return false;
  if (!even_y) {
    const Scalar zero = {};
    scalar_sub(key.scalar, zero, key.scalar);
  }
  return true;
}

// k: 64 bytes from two standard SHA-256 hashes of the private scalar, the digest and a
// counter, reduced modulo the group order (so that its bias is negligible).
void derive_nonce(Scalar& k, const SigningKey& key, const uint8_t digest[20]) {
  static const char kLabel[] = "kpk signature nonce";
  uint8_t input[sizeof kLabel + 1 + 32 + 20];
  memcpy(input, kLabel, sizeof kLabel);
  scalar_to_bytes(input + sizeof kLabel + 1, key.scalar);
  memcpy(input + sizeof kLabel + 1 + 32, digest, 20);
  for (uint8_t counter = 0;; counter = uint8_t(counter + 2)) {
    uint8_t wide[64];
    input[sizeof kLabel] = counter;
    signature_hash(kSha256Constants, input, sizeof input, wide);
    input[sizeof kLabel] = uint8_t(counter + 1);
    signature_hash(kSha256Constants, input, sizeof input, wide + 32);
    scalar_reduce(k, wide, sizeof wide);
    if (!scalar_is_zero(k)) break;
  }
  memset(input, 0, sizeof input);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool signing_key_from_seed(SigningKey& key, const uint8_t seed[64]) {
  scalar_reduce(key.scalar, seed, 64);
  return complete_key(key);
}

bool signing_key_from_private(SigningKey& key, const uint8_t private_scalar[32]) {
  scalar_reduce(key.scalar, private_scalar, 32);
  uint8_t reduced[32];
  scalar_to_bytes(reduced, key.scalar);
  if (memcmp(reduced, private_scalar, 32) != 0) return false;  // not below the order
  return complete_key(key);
}

void signing_key_private_bytes(const SigningKey& key, uint8_t out[32]) {
  scalar_to_bytes(out, key.scalar);
}

void sign_digest(const SignatureHashConstants& constants, const SigningKey& key,
                 const uint8_t digest[20], uint8_t record[kSignatureRecordSize]) {
  Scalar k;
  derive_nonce(k, key, digest);
  uint8_t k_bytes[32], y[32];
  scalar_to_bytes(k_bytes, k);
  static const uint8_t kBase[32] = {9};
  curve_scalar_mult_x(k_bytes, kBase, y);  // x(Y), Y = k·G

  uint8_t c[kSignatureHashSize];
  signature_hash(constants, y, sizeof y, c);
  memcpy(record, digest, kRecordDigestSize);
  uint8_t* r = record + kRecordDigestSize;
  memcpy(r, c, kRecordRSize);

  uint8_t h_bytes[32];
  signature_challenge(constants, digest, r, h_bytes);
  Scalar h, inverse, v;
  scalar_reduce(h, h_bytes, sizeof h_bytes);
  scalar_sub(v, k, h);
  scalar_invert(inverse, key.scalar);
  scalar_mul(v, v, inverse);
  scalar_to_bytes(r + kRecordRSize, v);
  memset(k_bytes, 0, sizeof k_bytes);
}

bool parse_key_text(const std::string& text, uint8_t key[32]) {
  std::istringstream lines(text);
  std::string line, hex;
  int keys = 0;
  while (std::getline(lines, line)) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      hex = word;
      ++keys;
    }
  }
  if (keys != 1 || hex.size() != 64) return false;
  for (int i = 0; i < 32; ++i) {
    int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    key[i] = uint8_t(hi << 4 | lo);
  }
  return true;
}

std::string key_text(const uint8_t key[32], const std::string& comment) {
  std::string text;
  std::istringstream lines(comment);
  std::string line;
  while (std::getline(lines, line)) text += "# " + line + "\n";
  return text + hex(key, 32) + "\n";
}
