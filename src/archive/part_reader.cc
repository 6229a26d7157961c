#include "archive/part_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "archive/inflate_reader.h"
#include "archive/part_type.h"
#include "integrity/signature.h"
#include "integrity/trust_anchors.h"

namespace {
constexpr uint32_t kChunk = 4096;
const std::streambuf::pos_type kSeekFailed = std::streambuf::pos_type(std::streambuf::off_type(-1));
}  // namespace

PartStreamBuf::PartStreamBuf(std::streambuf* source, bool hashing, std::streambuf* copy_target)
    : source_(source), copy_target_(copy_target), hashing_(hashing) {}

PartStreamBuf::~PartStreamBuf() = default;

bool PartStreamBuf::read_file_header(uint8_t header[8]) {
  std::streamsize got = source_->sgetn(reinterpret_cast<char*>(header), 8);
  if (got > 0 && copy_target_) copy_target_->sputn(reinterpret_cast<char*>(header), got);
  position_ = kFileHeaderSize;
  return got == 8;
}

void PartStreamBuf::consumed(const char* data, size_t n) {
  size_t again = std::min<size_t>(putback_count_, n);
  putback_count_ -= uint32_t(again);
  data += again;
  n -= again;
  if (n == 0) return;
  if (hashing_) sha1_.update(data, n);
  if (copy_target_) copy_target_->sputn(data, std::streamsize(n));
}

bool PartStreamBuf::read_through(uint64_t count) {
  char chunk[kChunk];
  while (count > 0) {
    std::streamsize want = std::streamsize(std::min<uint64_t>(count, kChunk));
    if (xsgetn(chunk, want) != want) return false;
    count -= uint64_t(want);
  }
  return true;
}

int32_t PartStreamBuf::advance() {
  if (!source_) return -1;
  if (remaining_ > 0) {
    bool skipped = false;
    if (!hashing_ && !copy_target_) {
      // Nothing needs the bytes: let a seekable source jump over them.
      if (source_->pubseekoff(off_type(remaining_), std::ios_base::cur, std::ios_base::in) !=
          kSeekFailed) {
        remaining_ = 0;
        skipped = true;
      }
    }
    if (!skipped && !read_through(remaining_)) return kCutShort;
  }
  position_ += part_length_;

  uint8_t header[kPartHeaderSize];
  if (source_->sgetn(reinterpret_cast<char*>(header), kPartHeaderSize) != kPartHeaderSize) {
    finalize_digest();
    return -1;
  }
  if (copy_target_) copy_target_->sputn(reinterpret_cast<char*>(header), kPartHeaderSize);
  uint16_t type = load_le16(header);
  if (hashing_) {
    // A package header opens a new package: what came before it is the previous package.
    if (type == PackageHeader) finalize_digest();
    sha1_.update(header, kPartHeaderSize);
  }
  position_ += kPartHeaderSize;
  part_length_ = remaining_ = load_le32(header + 2);
  return type;
}

void PartStreamBuf::finalize_digest() {
  sha1_.finish(digest_);
  digest_ready_ = true;
}

bool PartStreamBuf::take_digest(uint8_t out[Sha1::kDigestSize]) {
  if (!digest_ready_) return false;
  memcpy(out, digest_, Sha1::kDigestSize);
  digest_ready_ = false;
  return true;
}

bool PartStreamBuf::read_unhashed(uint8_t* out, uint32_t n) {
  if (!source_ || remaining_ < n) return false;
  std::streamsize got = source_->sgetn(reinterpret_cast<char*>(out), n);
  if (got <= 0) return false;
  if (copy_target_) copy_target_->sputn(reinterpret_cast<char*>(out), got);
  remaining_ -= uint32_t(got);
  return got == std::streamsize(n);
}

std::streamsize PartStreamBuf::xsgetn(char_type* buffer, std::streamsize n) {
  if (remaining_ == 0 || n <= 0) return 0;
  std::streamsize want = std::streamsize(std::min<uint64_t>(uint64_t(n), remaining_));
  std::streamsize got = source_->sgetn(buffer, want);
  if (got <= 0) return 0;
  consumed(buffer, size_t(got));
  remaining_ -= uint32_t(got);
  return got;
}

PartStreamBuf::int_type PartStreamBuf::uflow() {
  if (remaining_ == 0) return traits_type::eof();
  --remaining_;
  int_type c = source_->sbumpc();
  if (traits_type::eq_int_type(c, traits_type::eof())) return c;
  if (putback_count_ > 0) {
    --putback_count_;
  } else {
    char byte = traits_type::to_char_type(c);
    if (hashing_) sha1_.update(&byte, 1);
    if (copy_target_) copy_target_->sputc(byte);
  }
  return c;
}

PartStreamBuf::int_type PartStreamBuf::underflow() {
  if (remaining_ == 0) return traits_type::eof();
  return source_->sgetc();
}

std::streamsize PartStreamBuf::showmanyc() {
  std::streamsize available = source_->in_avail();
  uint64_t limit = std::min<uint64_t>(remaining_, std::numeric_limits<std::streamsize>::max());
  return std::min<std::streamsize>(available, std::streamsize(limit));
}

PartStreamBuf::int_type PartStreamBuf::pbackfail(int_type c) {
  if (remaining_ == part_length_) return traits_type::eof();
  int_type r = traits_type::eq_int_type(c, traits_type::eof())
                   ? source_->sungetc()
                   : source_->sputbackc(traits_type::to_char_type(c));
  if (traits_type::eq_int_type(r, traits_type::eof())) return r;
  ++remaining_;
  if (hashing_ || copy_target_) ++putback_count_;
  return r;
}

PartStreamBuf::pos_type PartStreamBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                               std::ios_base::openmode which) {
  off_type base;
  if (dir == std::ios_base::beg)
    base = 0;
  else if (dir == std::ios_base::cur)
    base = off_type(part_length_ - remaining_);
  else
    return kSeekFailed;
  return seekpos(pos_type(base + offset), which);
}

PartStreamBuf::pos_type PartStreamBuf::seekpos(pos_type target_pos, std::ios_base::openmode) {
  off_type target = off_type(target_pos);
  if (target < 0 || target > off_type(part_length_)) return kSeekFailed;
  off_type done = off_type(part_length_ - remaining_);
  if (target == done) return target_pos;
  bool moved = false;
  if (!hashing_ && !copy_target_) {
    off_type absolute = off_type(position_) + target;
    if (source_->pubseekpos(pos_type(absolute), std::ios_base::in) != kSeekFailed) moved = true;
  }
  if (!moved) {
    if (target < done) return kSeekFailed;
    if (!read_through(uint64_t(target - done))) return kSeekFailed;
  }
  remaining_ = part_length_ - uint32_t(target);
  return target_pos;
}

PartReader::PartReader(std::istream& in, bool hashing, std::streambuf* copy_target)
    : std::istream(nullptr),
      buf_(std::make_unique<PartStreamBuf>(in.rdbuf(), hashing, copy_target)) {
  rdbuf(buf_.get());
  uint8_t header[kFileHeaderSize];
  if (!in.rdbuf() || !buf_->read_file_header(header)) {
    setstate(std::ios_base::badbit);
    return;
  }
  magic_ = load_le32(header);
  total_length_ = load_le32(header + 4) + kFileHeaderSize;
  if (magic_ != kRegularMagic && magic_ != kPlainMagic) setstate(std::ios_base::badbit);
}

PartReader::~PartReader() = default;

bool PartReader::is_plain() const { return magic_ == kPlainMagic; }

uint64_t PartReader::offset() {
  // Asked of the stream buffer directly: tellg() would set the fail bit of a reader that has
  // met the end of its part.
  std::streamoff in_part =
      inflating_ ? inflating_->source_offset()
                 : std::streamoff(buf_->pubseekoff(0, std::ios_base::cur, std::ios_base::in));
  return uint64_t(buf_->position()) + (in_part > 0 ? uint64_t(in_part) : 0);
}

int32_t PartReader::next_part() {
  if (fail()) {
    // A damaged stream proves nothing: no digest may be taken from it any more.
    buf_->discard_digest();
    current_type_ = -1;
    return -1;
  }
  clear();
  for (;;) {
    int32_t type = buf_->advance();
    if (type == PartStreamBuf::kCutShort) buf_->discard_digest();
    if (type < 0) {
      setstate(std::ios_base::eofbit | std::ios_base::failbit);
      current_type_ = -1;
      return -1;
    }
    if (std::find(wanted_.begin(), wanted_.end(), type) != wanted_.end()) {
      current_type_ = type;
      return type;
    }
  }
}

bool PartReader::verify_signature_part(const uint8_t* public_key) {
  if (!buf_->hashing()) return false;
  buf_->finalize_digest();
  uint8_t record[kSignatureRecordSize];
  if (!buf_->read_unhashed(record, kSignatureRecordSize)) return false;
  if (public_key)
    return signature_record_valid_for(kSignatureHashConstants, public_key, buf_->digest_slot(),
                                      record);
  return signature_record_valid(buf_->digest_slot(), record);
}

bool PartReader::take_package_digest(uint8_t out[Sha1::kDigestSize]) {
  return buf_->take_digest(out);
}
