// The signature check of one package: a 68-byte signature record (digest copy, r, v) against
// the package digest the reader computed, verified on Curve25519 with the built-in public key.
#pragma once

#include <cstdint>

// True when the record's digest copy equals digest and the signature verifies. The digest
// copy is compared before any curve arithmetic.
bool signature_record_valid(const uint8_t digest[20], const uint8_t record[68]);
