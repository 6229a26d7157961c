#include "testing/stream_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

namespace {
constexpr uint64_t kStoredBlock = 65535;
}

GeneratedZlibSource::GeneratedZlibSource(std::string head, std::string data, uint64_t zeros)
    : head_(std::move(head)), data_(std::move(data)), total_(data_.size() + zeros) {
  // Adler-32 of the data, then of the zeros: a stays, b grows by a for every zero byte.
  uint32_t a = 1, b = 0;
  for (unsigned char c : data_) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  b = uint32_t((b + (zeros % 65521) * a) % 65521);
  adler_ = b << 16 | a;
  memset(buffer_, 0, sizeof buffer_);
}

uint64_t GeneratedZlibSource::zlib_size(uint64_t content) {
  uint64_t blocks = content == 0 ? 1 : (content + kStoredBlock - 1) / kStoredBlock;
  return 2 + 5 * blocks + content + 4;
}

GeneratedZlibSource::int_type GeneratedZlibSource::underflow() {
  size_t n = 0;
  while (n < sizeof buffer_) {
    if (pending_at_ < pending_.size()) {
      size_t take = std::min(pending_.size() - pending_at_, sizeof buffer_ - n);
      memcpy(buffer_ + n, pending_.data() + pending_at_, take);
      pending_at_ += take;
      n += take;
      continue;
    }
    pending_.clear();
    pending_at_ = 0;
    if (stage_ == kHead) {
      pending_ = head_ + "\x78\x01";
      stage_ = kBlocks;
    } else if (stage_ == kBlocks && block_left_ > 0) {
      size_t take = size_t(std::min<uint64_t>(block_left_, sizeof buffer_ - n));
      if (done_ < data_.size()) take = std::min(take, size_t(data_.size() - done_));
      if (done_ < data_.size())
        memcpy(buffer_ + n, data_.data() + done_, take);
      else
        memset(buffer_ + n, 0, take);
      done_ += take;
      block_left_ -= take;
      n += take;
    } else if (stage_ == kBlocks && (done_ < total_ || total_ == 0)) {
      uint64_t len = std::min(kStoredBlock, total_ - done_);
      bool last = done_ + len == total_;
      pending_ = {char(last ? 1 : 0), char(len & 0xFF), char(len >> 8), char(~len & 0xFF),
                  char((~len >> 8) & 0xFF)};
      block_left_ = len;
      if (total_ == 0) stage_ = kTrailer;
    } else if (stage_ == kBlocks || stage_ == kTrailer) {
      for (int i = 3; i >= 0; --i) pending_ += char((adler_ >> (8 * i)) & 0xFF);
      stage_ = kEnd;
    } else {
      break;
    }
  }
  if (n == 0) return traits_type::eof();
  setg(buffer_, buffer_, buffer_ + n);
  return traits_type::to_int_type(buffer_[0]);
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
