// The check of an archive held in memory before the disk it came from is rewritten: the
// archive is read through as the installation child will read it, with the package digest,
// and every package in it must be genuine. Nothing is written anywhere.
#pragma once

#include <cstdint>

// True when the size equals the archive's declared length, its packages (or its bundle's
// members) can be read, and each is genuine: a valid signature part, or an unsigned package
// whose digest is trusted. A refused bundle member fails the whole archive.
bool archive_is_sound(const char* data, uint32_t size);
