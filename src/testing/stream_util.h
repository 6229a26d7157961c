// Test helpers: in-memory archive sources that can refuse seeks (like a pipe) and count what
// the reader asks of them, a generated source of any length, and a hashing helper.
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

// A source generated as it is read: head bytes, then a zlib stream (stored blocks, no
// compression) of data followed by zeros zero bytes, then nothing. None of it is held whole,
// so streams of gigabytes cost only the time to read them, and nothing on disk.
class GeneratedZlibSource : public std::streambuf {
 public:
  GeneratedZlibSource(std::string head, std::string data, uint64_t zeros);
  // The size of the zlib stream alone.
  static uint64_t zlib_size(uint64_t content);

 protected:
  int_type underflow() override;

 private:
  enum Stage { kHead, kBlocks, kTrailer, kEnd };
  std::string pending_;  // header bytes still to hand out
  size_t pending_at_ = 0;
  Stage stage_ = kHead;
  std::string head_, data_;
  uint64_t total_;        // content bytes: data and zeros
  uint64_t done_ = 0;     // content bytes handed out
  uint64_t block_left_ = 0;
  uint32_t adler_;
  char buffer_[65536];
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
