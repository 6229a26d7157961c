// Test helpers: in-memory archive sources that can refuse seeks (like a pipe) and count what
// the reader asks of them, and a hashing helper.
#pragma once

#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>
#include <string_view>

#include "integrity/hex.h"

class MemorySource : public std::streambuf {
 public:
  explicit MemorySource(std::string data, bool seekable = true);

  int seeks() const { return seeks_; }
  // Bytes handed out so far (the offset of the next byte).
  size_t offset() const { return size_t(gptr() - eback()); }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type target, std::ios_base::openmode which) override;

 private:
  std::string data_;
  bool seekable_;
  int seeks_ = 0;
};

// An input stream over a MemorySource it owns.
class MemoryStream : public std::istream {
 public:
  explicit MemoryStream(std::string data, bool seekable = true)
      : std::istream(nullptr), source_(std::move(data), seekable) {
    rdbuf(&source_);
  }
  MemorySource& source() { return source_; }

 private:
  MemorySource source_;
};

// A stream buffer that collects what is written to it (a copy target).
class StringSink : public std::streambuf {
 public:
  const std::string& data() const { return data_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;

 private:
  std::string data_;
};

// The SHA-1 of bytes as hex text.
std::string sha1_hex(std::string_view bytes);
