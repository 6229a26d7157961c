#include "archive/stream_read.h"

bool read_declared(std::istream& in, uint32_t n, std::string* text) {
  char chunk[4096];
  while (n > 0) {
    uint32_t want = n < sizeof chunk ? n : uint32_t(sizeof chunk);
    in.read(chunk, want);
    text->append(chunk, size_t(in.gcount()));
    if (!in) return false;
    n -= want;
  }
  return true;
}
