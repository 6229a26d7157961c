// Hex text of bytes (digests, keys, signature records): two lower-case digits per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

std::string hex(const uint8_t* bytes, size_t n);
std::string hex(std::string_view bytes);
