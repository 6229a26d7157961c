#include "archive/inflate_reader.h"

#include <algorithm>
#include <cstring>

#include "archive/part_reader.h"

namespace {
const std::streambuf::pos_type kSeekFailed = std::streambuf::pos_type(std::streambuf::off_type(-1));
}

InflateStreamBuf::InflateStreamBuf(std::streambuf* source) : source_(source) {
  char* window = area_ + 1;
  setg(window, window, window);
  memset(&zs_, 0, sizeof zs_);
  // A failed initialisation shows up as an error of the first inflate call: end of data.
  inflateInit(&zs_);
}

InflateStreamBuf::~InflateStreamBuf() { inflateEnd(&zs_); }

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  char* window = area_ + 1;
  bool saved = false;
  if (eback() < egptr()) {
    area_[0] = egptr()[-1];
    saved = true;
  }
  uint32_t produced;
  for (;;) {
    if (zs_.avail_in == 0) {
      std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_), kInputSize);
      if (got <= 0) return traits_type::eof();
      zs_.next_in = input_;
      zs_.avail_in = uInt(got);
    }
    zs_.next_out = reinterpret_cast<Bytef*>(window);
    zs_.avail_out = kWindowSize;
    int result = inflate(&zs_, Z_PARTIAL_FLUSH);
    produced = kWindowSize - zs_.avail_out;
    if (result != Z_OK && result != Z_STREAM_END) return traits_type::eof();
    if (result == Z_STREAM_END && produced == 0) return traits_type::eof();
    if (produced > 0) break;
  }
  total_out_ += produced;
  setg(saved ? area_ : window, window, window + produced);
  return traits_type::to_int_type(*window);
}

InflateStreamBuf::pos_type InflateStreamBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                                     std::ios_base::openmode) {
  if (dir != std::ios_base::cur || offset < 0) return kSeekFailed;
  char chunk[kSkipStep];
  while (offset > 0) {
    std::streamsize step = std::streamsize(std::min<off_type>(offset, kSkipStep));
    if (sgetn(chunk, step) != step) return kSeekFailed;
    offset -= step;
  }
  return pos_type(off_type(total_out_) - off_type(egptr() - gptr()));
}

InflateStreamBuf::pos_type InflateStreamBuf::seekpos(pos_type, std::ios_base::openmode) {
  return kSeekFailed;
}

InflateReader::InflateReader(PartReader& reader)
    : std::istream(nullptr), buf_(std::make_unique<InflateStreamBuf>(reader.rdbuf())) {
  rdbuf(buf_.get());
}

InflateReader::~InflateReader() = default;
