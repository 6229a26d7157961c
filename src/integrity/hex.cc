#include "integrity/hex.h"

std::string hex(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string hex(std::string_view bytes) {
  return hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
