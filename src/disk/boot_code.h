// The boot code of the system disk's first sector, assembled at build time from
// medium/boot/boot_code.S.
#pragma once

#include <cstddef>

constexpr size_t kBootCodeSize = 184;
extern const unsigned char kBootCode[kBootCodeSize];
