// Stream buffers over file descriptors that never throw: a read error ends the data like the
// end of file does, and a write error makes the write come back short. (The standard file
// streams throw on read errors, for example when the path is a directory.)
#pragma once

#include <istream>
#include <memory>
#include <streambuf>
#include <string>

// Writes all n bytes to fd, retrying after EINTR and short writes. Returns 0, or the errno of
// the write that failed (EIO for a write that made no progress).
int write_all(int fd, const void* data, size_t n);

class FdInBuf : public std::streambuf {
 public:
  static constexpr size_t kBufferSize = 65536;

  // Takes over fd when owns is true (closes it on destruction).
  FdInBuf(int fd, bool owns);
  ~FdInBuf() override;
  FdInBuf(const FdInBuf&) = delete;
  FdInBuf& operator=(const FdInBuf&) = delete;

  // The errno of the read that failed, 0 when none did.
  int error() const { return error_; }

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char_type* buffer, std::streamsize n) override;
  std::streamsize showmanyc() override;
  // Seeks with lseek; fails on a pipe or terminal.
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type target, std::ios_base::openmode which) override;

 private:
  // One read(2) into buffer, retried on EINTR; 0 at the end or on an error.
  size_t read_some(char* buffer, size_t n);

  int fd_;
  bool owns_;
  int error_ = 0;
  bool at_end_ = false;
  char buffer_[kBufferSize];
};

// An input stream over a file it opens (read-only) itself; when the path cannot be opened or
// is a directory the stream is bad, is_open() is false and errno tells why.
class FdInStream : public std::istream {
 public:
  explicit FdInStream(const std::string& path);
  // An input stream over a descriptor the caller keeps (for example 0).
  explicit FdInStream(int fd);
  bool is_open() const { return buf_ != nullptr; }

 private:
  std::unique_ptr<FdInBuf> buf_;
};

class FdOutBuf : public std::streambuf {
 public:
  static constexpr size_t kBufferSize = 65536;

  FdOutBuf(int fd, bool owns);
  ~FdOutBuf() override;
  FdOutBuf(const FdOutBuf&) = delete;
  FdOutBuf& operator=(const FdOutBuf&) = delete;

  // Flushes and closes an owned descriptor; false when any write or the close failed.
  bool close();
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char_type* s, std::streamsize n) override;
  int sync() override;

 private:
  bool write_all(const char* data, size_t n);

  int fd_;
  bool owns_;
  int error_ = 0;
  char buffer_[kBufferSize];
};
