// The check of an archive before the disk is touched (held in memory by the hard-disk flow,
// read from the CD by the CD-ROM flow): the archive is read through as the installation
// child will read it, with the package digest, and every package in it must be genuine.
// Nothing is written anywhere.
#pragma once

#include <cstdint>
#include <string>

// True when the size equals the archive's declared length, its packages (or its bundle's
// members) can be read, and each is genuine: a valid signature part, or an unsigned package
// whose digest is trusted. A refused bundle member fails the whole archive.
bool archive_is_sound(const char* data, uint32_t size);

// The same check for an archive file (an installer path) read from its medium: a file that is
// not a regular file, cannot be read, or whose size differs from its declared length fails.
bool archive_file_is_sound(const std::string& path);
