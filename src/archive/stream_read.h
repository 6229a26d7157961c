// Reading a length that the input declares. The text grows only by the bytes that actually
// arrive, so a length that lies (up to 4 GiB) never costs more memory than the data present.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

// Appends n bytes of in to text; false (with what did arrive appended) on a short read.
bool read_declared(std::istream& in, uint32_t n, std::string* text);
