// The built-in list of package digests accepted without a signature part.
#pragma once

#include <cstdint>

bool is_trusted_digest(const uint8_t digest[20]);
