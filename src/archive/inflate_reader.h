// The decompressed view of a FileData part: an input stream over an InflateStreamBuf that
// pulls compressed bytes from the part reader's stream buffer (so it never reads past the
// part) and inflates them into a fixed 4096-byte window. Corrupt, truncated or exhausted data
// ends the decompressed bytes early: the pending read comes back short.
//
// Where the process may run on more than one processor, the inflating runs ahead of the
// reader on a thread of its own ("ahead"), so that decompressing, and the hashing and copying
// of the part reader below it, overlap with what the reader does with the bytes. The thread
// lets zlib fill several windows in one call, cut into the windows that window-sized calls
// make from the same input: the reader gets the same bytes, and the part reader's offset()
// tells what it would tell without the thread; only where the data turns out damaged may the
// bytes end a window earlier or later. While the thread runs it alone touches the part
// reader's stream buffer; it stops before the InflateReader is gone.
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

  // source is not owned; it must stand at the first byte of the zlib stream. ahead: inflate
  // on a thread of its own (falls back to inflating in place when no thread can be made).
  InflateStreamBuf(std::streambuf* source, bool ahead = false);
  ~InflateStreamBuf() override;
  InflateStreamBuf(const InflateStreamBuf&) = delete;
  InflateStreamBuf& operator=(const InflateStreamBuf&) = delete;

  bool ahead() const { return ahead_ != nullptr; }
  // What source->pubseekoff(0, cur) said after the window holding the last byte read was
  // made (0 before the first): the source's own offset when inflating in place.
  std::streamoff source_offset();

 protected:
  // Only forward moves from the current position: skips by reading through the data.
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type target, std::ios_base::openmode which) override;
  int_type underflow() override;

 private:
  struct Ahead;
  static void* run_ahead(void* self);

  // Inflates into out (room bytes, a multiple of kWindowSize), taking input from source
  // whenever zlib has used up what it holds, until something comes out: the bytes made, 0 at
  // the end of the data. When the data turns out damaged (*cut), only the whole windows before
  // the one that holds the failure count.
  uint32_t inflate_span(char* out, uint32_t room, bool* cut);
  // inflate_span into one window: the bytes made, 0 at the end of the data or at a failure.
  uint32_t inflate_window(char* window);
  int_type underflow_in_place();
  int_type underflow_ahead();
  void produce();

  // With a fast Adler-32 at hand the stream's check value is computed here rather than by
  // zlib (told not to); a mismatch at the end counts as zlib's data error would.
  bool check_matches();

  // area_[0] is the put-back slot, followed directly by the window.
  char area_[1 + kWindowSize];
  unsigned char input_[kInputSize];
  uint32_t input_length_ = 0;
  z_stream zs_;
  bool own_check_ = false;
  uint32_t check_ = 1;
  uint8_t recent_input_[4] = {};  // the last bytes of the input chunks before this one
  std::streambuf* source_;
  uint64_t total_out_ = 0;  // decompressed bytes produced; may exceed 4 GiB
  std::unique_ptr<Ahead> ahead_;
};

class InflateReader : public std::istream {
 public:
  // The reader must stand on a FileData part with nothing of its body consumed. Inflates
  // ahead on a thread where inflate_ahead() says so.
  explicit InflateReader(PartReader& reader);
  ~InflateReader() override;

 private:
  PartReader& reader_;
  std::unique_ptr<InflateStreamBuf> buf_;
};

// Whether InflateReaders inflate ahead: kAuto when the process may use two processors or
// more (the default), or always, or never (tests compare the two).
enum class InflateAhead { kAuto, kAlways, kNever };
void set_inflate_ahead(InflateAhead mode);
bool inflate_ahead();
