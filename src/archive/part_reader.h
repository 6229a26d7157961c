// The archive reader: an input stream that walks one package archive's parts front to back.
//
// PartStreamBuf confines reads to the body of the current part, skips unwanted parts, counts
// the archive position, feeds every byte it consumes after the file header into the running
// package digest (SHA-1) and copies every byte taken from the source to an optional copy
// target. It buffers nothing: every read goes to the source, so the source may be a pipe.
// PartReader is the input stream over it, with the wanted part types and the file header.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

#include "integrity/sha1.h"

class InflateStreamBuf;

class PartStreamBuf : public std::streambuf {
 public:
  // Neither source nor copy_target is owned; copy_target may be null.
  PartStreamBuf(std::streambuf* source, bool hashing, std::streambuf* copy_target);
  ~PartStreamBuf() override;

  // Reads the 8-byte file header straight from the source (never hashed, copied when a copy
  // target is attached). False when fewer than 8 bytes arrive.
  bool read_file_header(uint8_t header[8]);
  static constexpr int32_t kCutShort = -2;
  // Skips the rest of the current part and reads the next part header. Returns its type, -1
  // at the end of the stream (which also finalises the package digest), or kCutShort when
  // the stream ended inside the part being skipped.
  int32_t advance();

  uint32_t position() const { return position_; }
  uint32_t part_length() const { return part_length_; }
  uint32_t remaining() const { return remaining_; }
  bool hashing() const { return hashing_; }

  // Finalises the running digest into the slot and sets the ready flag.
  void finalize_digest();
  // Copies the slot out and clears the ready flag; false (out untouched) when not ready.
  bool take_digest(uint8_t out[Sha1::kDigestSize]);
  // Clears the ready flag: the slot holds nothing that may be taken.
  void discard_digest() { digest_ready_ = false; }
  // The last finalised digest, whatever the ready flag says.
  const uint8_t* digest_slot() const { return digest_; }
  // Reads n bytes of the current part straight from the source, unhashed but copied and
  // counted as consumed. False when fewer arrive or the part holds fewer.
  bool read_unhashed(uint8_t* out, uint32_t n);

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type target, std::ios_base::openmode which) override;
  std::streamsize showmanyc() override;
  std::streamsize xsgetn(char_type* buffer, std::streamsize n) override;
  int_type underflow() override;
  int_type uflow() override;
  int_type pbackfail(int_type c) override;

 private:
  // Hashes and copies bytes just taken from the source, minus those re-read after a put back.
  void consumed(const char* data, size_t n);
  // Reads count bytes through the ordinary read path; false when fewer arrive.
  bool read_through(uint64_t count);

  std::streambuf* source_;
  uint32_t position_ = 0;
  uint32_t part_length_ = 0;
  uint32_t remaining_ = 0;
  std::streambuf* copy_target_;
  Sha1 sha1_;
  bool hashing_;
  bool digest_ready_ = false;
  uint8_t digest_[Sha1::kDigestSize] = {};
  uint32_t putback_count_ = 0;
};

class PartReader : public std::istream {
 public:
  // Reads the file header of in at once. A short or unknown header leaves the stream bad, and
  // every next_part returns -1. Neither in nor copy_target is closed or owned.
  PartReader(std::istream& in, bool hashing, std::streambuf* copy_target = nullptr);
  ~PartReader() override;

  bool is_plain() const;
  uint32_t total_length() const { return total_length_; }

  // Adds a type at which next_part stops; add all before the first next_part.
  void want(int32_t type) { wanted_.push_back(type); }
  // Moves to the next wanted part and returns its type; -1 at the end of the stream or once
  // the stream has failed (and from then on). A stream that failed or ended inside a part
  // also drops any digest not yet taken, since a stale digest of an earlier package must
  // never vouch for the one that was cut short.
  int32_t next_part();
  int32_t current_type() const { return current_type_; }
  uint32_t current_length() const { return buf_->part_length(); }
  // Archive offset of the current part's first body byte; position() + tellg() is the
  // offset of the next byte to read.
  uint32_t position() const { return buf_->position(); }
  // Bytes of the current part's body not yet consumed.
  uint32_t remaining() const { return buf_->remaining(); }
  // Archive offset of the next byte the caller takes: position() plus what it consumed of the
  // current part. While an InflateReader inflates this part ahead on a thread, the offset
  // stands where it would stand had the inflating kept pace with the caller.
  uint64_t offset();
  // For InflateReader: the stream buffer that answers offset() meanwhile, or null.
  void set_inflating(InflateStreamBuf* inflating) { inflating_ = inflating; }

  // Checks the signature part the reader stands on, nothing of it read yet: finalises the
  // digest, reads the 68-byte record unhashed and verifies it. The reader stays inside the
  // part. False when the package is not genuine. public_key: the signing key to check against
  // (the x-coordinate, 32 bytes), the built-in one when null.
  bool verify_signature_part(const uint8_t* public_key = nullptr);
  // The last finalised package digest, once: true and out filled when one is ready.
  bool take_package_digest(uint8_t out[Sha1::kDigestSize]);
  // Finalises the running digest now, as reaching a signature part does. For tools that
  // compute a signed package's digest without verifying it.
  void finalize_package_digest() { buf_->finalize_digest(); }

 private:
  std::unique_ptr<PartStreamBuf> buf_;
  InflateStreamBuf* inflating_ = nullptr;
  std::vector<int32_t> wanted_;
  int32_t current_type_ = 0;
  uint32_t magic_ = 0;
  uint32_t total_length_ = 0;
};
