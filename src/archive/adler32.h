// Adler-32 (RFC 1950), the check value of a zlib stream, continued over one more run of
// bytes: adler32_update(1, data, n) is the value of data alone. Runs on SSSE3 where the
// processor has it, on portable code otherwise; both give the same values. adler32_fast()
// says whether the SSSE3 code is in use.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t length);
bool adler32_fast();
// portable = true: the portable code from now on, in the whole process (tests compare both).
void adler32_force_portable(bool portable);
