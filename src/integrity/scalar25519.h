// Integers modulo the order l = 2^252 + 27742317777372353535851937790883648493 of the
// Curve25519 base point: the arithmetic of the signer (key generation and signing). The
// installer's check never reduces scalars and does not use this.
//
// Every operation runs in the same time whatever the values; outputs are fully reduced.
#pragma once

#include <cstddef>
#include <cstdint>

struct Scalar {
  uint32_t w[8];  // little-endian 32-bit words, value below l
};

// Reduces a little-endian integer of length bytes (at most 64) modulo l.
void scalar_reduce(Scalar& out, const uint8_t* bytes, size_t length);
void scalar_to_bytes(uint8_t out[32], const Scalar& a);
bool scalar_is_zero(const Scalar& a);
void scalar_add(Scalar& out, const Scalar& a, const Scalar& b);
void scalar_sub(Scalar& out, const Scalar& a, const Scalar& b);
void scalar_mul(Scalar& out, const Scalar& a, const Scalar& b);
// out = 1/a modulo l (a^(l-2)); zero gives zero.
void scalar_invert(Scalar& out, const Scalar& a);
