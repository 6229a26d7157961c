// What the x86 processor offers beyond the baseline of the build, asked once with cpuid; false
// for everything on other processors. For code that picks a faster path at run time.
#pragma once

// SSSE3 (byte shuffles and multiply-adds of bytes).
bool cpu_has_ssse3();
// The SHA extensions, with the SSSE3 and SSE 4.1 that code using them needs as well.
bool cpu_has_sha();
