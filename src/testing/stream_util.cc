#include "testing/stream_util.h"

#include <cstdio>

#include "integrity/hex.h"
#include "integrity/sha1.h"

MemorySource::MemorySource(std::string data, bool seekable)
    : data_(std::move(data)), seekable_(seekable) {
  char* p = data_.data();
  setg(p, p, p + data_.size());
}

MemorySource::pos_type MemorySource::seekoff(off_type offset, std::ios_base::seekdir dir,
                                             std::ios_base::openmode which) {
  off_type base = dir == std::ios_base::beg   ? 0
                  : dir == std::ios_base::cur ? off_type(gptr() - eback())
                                              : off_type(data_.size());
  return seekpos(pos_type(base + offset), which);
}

MemorySource::pos_type MemorySource::seekpos(pos_type target, std::ios_base::openmode) {
  ++seeks_;
  off_type t = off_type(target);
  if (!seekable_ || t < 0 || t > off_type(data_.size())) return pos_type(off_type(-1));
  setg(eback(), eback() + t, egptr());
  return target;
}

StringSink::int_type StringSink::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) data_ += traits_type::to_char_type(c);
  return traits_type::not_eof(c);
}

std::streamsize StringSink::xsputn(const char* s, std::streamsize n) {
  data_.append(s, size_t(n));
  return n;
}

std::string sha1_hex(std::string_view bytes) {
  Sha1 h;
  h.update(bytes.data(), bytes.size());
  uint8_t d[20];
  h.finish(d);
  return hex(d, 20);
}
