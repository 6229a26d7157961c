// The decompressed view of a FileData part: an input stream over an InflateStreamBuf that
// pulls compressed bytes from the part reader's stream buffer (so it never reads past the
// part) and inflates them into a fixed 4096-byte window. Corrupt, truncated or exhausted data
// ends the decompressed bytes early: the pending read comes back short.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>

class PartReader;

class InflateStreamBuf : public std::streambuf {
 public:
  static constexpr uint32_t kWindowSize = 4096;
  static constexpr uint32_t kInputSize = 4096;
  static constexpr uint32_t kSkipStep = 1024;

  // source is not owned; it must stand at the first byte of the zlib stream.
  explicit InflateStreamBuf(std::streambuf* source);
  ~InflateStreamBuf() override;
  InflateStreamBuf(const InflateStreamBuf&) = delete;
  InflateStreamBuf& operator=(const InflateStreamBuf&) = delete;

 protected:
  // Only forward moves from the current position: skips by reading through the data.
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type target, std::ios_base::openmode which) override;
  int_type underflow() override;

 private:
  // area_[0] is the put-back slot, followed directly by the window.
  char area_[1 + kWindowSize];
  unsigned char input_[kInputSize];
  z_stream zs_;
  std::streambuf* source_;
  uint64_t total_out_ = 0;  // decompressed bytes produced; may exceed 4 GiB
};

class InflateReader : public std::istream {
 public:
  // The reader must stand on a FileData part with nothing of its body consumed.
  explicit InflateReader(PartReader& reader);
  ~InflateReader() override;

 private:
  std::unique_ptr<InflateStreamBuf> buf_;
};
