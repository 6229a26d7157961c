#include "system/fd_stream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>

namespace {
const std::streambuf::pos_type kSeekFailed = std::streambuf::pos_type(std::streambuf::off_type(-1));
}

FdInBuf::FdInBuf(int fd, bool owns) : fd_(fd), owns_(owns) { setg(buffer_, buffer_, buffer_); }

FdInBuf::~FdInBuf() {
  if (owns_ && fd_ >= 0) ::close(fd_);
}

size_t FdInBuf::read_some(char* buffer, size_t n) {
  if (at_end_) return 0;
  for (;;) {
    ssize_t got = ::read(fd_, buffer, n);
    if (got > 0) return size_t(got);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = errno;
    at_end_ = true;
    return 0;
  }
}

FdInBuf::int_type FdInBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  // Keep the last byte so that one byte can still be put back after the refill.
  size_t keep = gptr() > eback() ? 1 : 0;
  if (keep) buffer_[0] = gptr()[-1];
  size_t got = read_some(buffer_ + keep, kBufferSize - keep);
  if (got == 0) {
    setg(buffer_, buffer_ + keep, buffer_ + keep);
    return traits_type::eof();
  }
  setg(buffer_, buffer_ + keep, buffer_ + keep + got);
  return traits_type::to_int_type(*gptr());
}

std::streamsize FdInBuf::xsgetn(char_type* out, std::streamsize n) {
  std::streamsize done = 0;
  while (done < n) {
    std::streamsize buffered = egptr() - gptr();
    if (buffered > 0) {
      std::streamsize take = std::min(buffered, n - done);
      memcpy(out + done, gptr(), size_t(take));
      gbump(int(take));
      done += take;
      continue;
    }
    if (size_t(n - done) >= kBufferSize) {
      // Large reads go straight into the caller's buffer.
      size_t got = read_some(out + done, size_t(n - done));
      if (got == 0) break;
      done += std::streamsize(got);
      // Keep the last byte so that it can still be put back.
      buffer_[0] = out[done - 1];
      setg(buffer_, buffer_ + 1, buffer_ + 1);
      continue;
    }
    if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
  }
  return done;
}

std::streamsize FdInBuf::showmanyc() {
  if (at_end_) return -1;
  int n = 0;
  if (ioctl(fd_, FIONREAD, &n) == 0 && n > 0) return n;
  return 0;
}

FdInBuf::pos_type FdInBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                   std::ios_base::openmode) {
  int whence = dir == std::ios_base::beg ? SEEK_SET : dir == std::ios_base::cur ? SEEK_CUR : SEEK_END;
  // The file offset is ahead of the reader by what sits unread in the buffer.
  if (dir == std::ios_base::cur) offset -= off_type(egptr() - gptr());
  off_t result = lseek(fd_, off_t(offset), whence);
  if (result < 0) return kSeekFailed;
  setg(buffer_, buffer_, buffer_);
  at_end_ = false;
  return pos_type(off_type(result));
}

FdInBuf::pos_type FdInBuf::seekpos(pos_type target, std::ios_base::openmode which) {
  return seekoff(off_type(target), std::ios_base::beg, which);
}

FdInStream::FdInStream(const std::string& path) : std::istream(nullptr) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    ::close(fd);
    fd = -1;
    errno = EISDIR;
  }
  if (fd < 0) {
    setstate(std::ios_base::badbit);
    return;
  }
  buf_ = std::make_unique<FdInBuf>(fd, true);
  rdbuf(buf_.get());
}

FdInStream::FdInStream(int fd) : std::istream(nullptr), buf_(std::make_unique<FdInBuf>(fd, false)) {
  rdbuf(buf_.get());
}

FdOutBuf::FdOutBuf(int fd, bool owns) : fd_(fd), owns_(owns) {
  setp(buffer_, buffer_ + kBufferSize);
}

FdOutBuf::~FdOutBuf() { close(); }

int write_all(int fd, const void* data, size_t n) {
  const char* at = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t done = ::write(fd, at, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return done < 0 ? errno : EIO;
    at += done;
    n -= size_t(done);
  }
  return 0;
}

bool FdOutBuf::write_all(const char* data, size_t n) {
  error_ = ::write_all(fd_, data, n);
  return error_ == 0;
}

int FdOutBuf::sync() {
  if (fd_ < 0) return -1;
  size_t n = size_t(pptr() - pbase());
  setp(buffer_, buffer_ + kBufferSize);
  if (error_ != 0) return -1;
  return write_all(buffer_, n) ? 0 : -1;
}

FdOutBuf::int_type FdOutBuf::overflow(int_type c) {
  if (sync() != 0) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize FdOutBuf::xsputn(const char_type* s, std::streamsize n) {
  if (fd_ < 0 || error_ != 0) return 0;
  if (n <= epptr() - pptr()) {
    memcpy(pptr(), s, size_t(n));
    pbump(int(n));
    return n;
  }
  if (sync() != 0) return 0;
  if (size_t(n) >= kBufferSize / 2) return write_all(s, size_t(n)) ? n : 0;
  memcpy(pptr(), s, size_t(n));
  pbump(int(n));
  return n;
}

bool FdOutBuf::close() {
  if (fd_ < 0) return error_ == 0;
  bool ok = sync() == 0;
  if (owns_ && ::close(fd_) != 0) {
    if (error_ == 0) error_ = errno;
    ok = false;
  }
  fd_ = -1;
  return ok && error_ == 0;
}
