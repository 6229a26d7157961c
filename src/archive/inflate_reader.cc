#include "archive/inflate_reader.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "archive/adler32.h"
#include "archive/part_reader.h"

namespace {

const std::streambuf::pos_type kSeekFailed = std::streambuf::pos_type(std::streambuf::off_type(-1));

std::atomic<InflateAhead> g_ahead_mode{InflateAhead::kAuto};

}  // namespace

void set_inflate_ahead(InflateAhead mode) { g_ahead_mode.store(mode); }

bool inflate_ahead() {
  switch (g_ahead_mode.load()) {
    case InflateAhead::kAlways:
      return true;
    case InflateAhead::kNever:
      return false;
    case InflateAhead::kAuto:
      break;
  }
  cpu_set_t cpus;
  return sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) >= 2;
}

// The windows made ahead travel in batches: the thread fills a free batch window by window,
// hands it over whole, and the reader gives it back when it has read it. Each window's end and
// the source offset after it are kept, for source_offset().
struct InflateStreamBuf::Ahead {
  static constexpr int kBatches = 16;
  static constexpr uint32_t kBatchWindows = 16;
  struct Batch {
    char area[1 + kBatchWindows * kWindowSize];  // [0]: the put-back slot
    uint32_t ends[kBatchWindows];                // of each window, counted from area + 1
    std::streamoff offsets[kBatchWindows];
    uint32_t windows = 0;
    bool last = false;             // the data ends after this batch
    std::streamoff end_offset = 0;  // the source offset once the end was found
  };
  Batch batches[kBatches];

  std::mutex mutex;
  std::condition_variable changed;
  int handed_over = 0;  // batches made and not yet given back (guarded by mutex)
  std::atomic<bool> stop{false};
  pthread_t thread;

  // The reader's side.
  int current = -1;
  bool ended = false;
  std::streamoff previous_offset = 0;  // of the last window before the current batch
};

InflateStreamBuf::InflateStreamBuf(std::streambuf* source, bool ahead) : source_(source) {
  char* window = area_ + 1;
  setg(window, window, window);
  memset(&zs_, 0, sizeof zs_);
  // A failed initialisation shows up as an error of the first inflate call: end of data.
  inflateInit(&zs_);
  own_check_ = adler32_fast() && inflateValidate(&zs_, 0) == Z_OK;
  if (!ahead) return;
  ahead_ = std::make_unique<Ahead>();
  // The thread takes no signals: their handlers keep running where they ran before.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  const bool started = pthread_create(&ahead_->thread, &attributes, run_ahead, this) == 0;
  pthread_attr_destroy(&attributes);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (!started) ahead_.reset();
}

InflateStreamBuf::~InflateStreamBuf() {
  if (ahead_) {
    ahead_->stop = true;
    {
      std::lock_guard<std::mutex> lock(ahead_->mutex);
    }
    ahead_->changed.notify_all();
    pthread_join(ahead_->thread, nullptr);
  }
  inflateEnd(&zs_);
}

bool InflateStreamBuf::check_matches() {
  // The trailer: the 4 bytes before next_in, some of them perhaps from earlier chunks.
  const long used = long(zs_.next_in - input_);
  uint32_t trailer = 0;
  for (long i = used - 4; i < used; ++i)
    trailer = trailer << 8 | (i >= 0 ? input_[i] : recent_input_[4 + i]);
  return trailer == check_;
}

uint32_t InflateStreamBuf::inflate_span(char* out, uint32_t room, bool* cut) {
  *cut = false;
  for (;;) {
    if (zs_.avail_in == 0) {
      for (uint32_t i = input_length_ > 4 ? input_length_ - 4 : 0; i < input_length_; ++i) {
        memmove(recent_input_, recent_input_ + 1, 3);
        recent_input_[3] = input_[i];
      }
      std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_), kInputSize);
      input_length_ = got > 0 ? uint32_t(got) : 0;
      if (got <= 0) return 0;
      zs_.next_in = input_;
      zs_.avail_in = uInt(got);
    }
    zs_.next_out = reinterpret_cast<Bytef*>(out);
    zs_.avail_out = room;
    int result = inflate(&zs_, Z_PARTIAL_FLUSH);
    uint32_t produced = room - zs_.avail_out;
    if (own_check_) {
      check_ = adler32_update(check_, reinterpret_cast<const uint8_t*>(out), produced);
      if (result == Z_STREAM_END && !check_matches()) result = Z_DATA_ERROR;
    }
    if (result != Z_OK && result != Z_STREAM_END) {
      // The window that holds the failure is never served; the whole windows before it are.
      *cut = true;
      return produced > 0 ? (produced - 1) / kWindowSize * kWindowSize : 0;
    }
    if (result == Z_STREAM_END && produced == 0) return 0;
    if (produced > 0) return produced;
  }
}

uint32_t InflateStreamBuf::inflate_window(char* window) {
  bool cut = false;
  return inflate_span(window, kWindowSize, &cut);
}

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  return ahead_ ? underflow_ahead() : underflow_in_place();
}

InflateStreamBuf::int_type InflateStreamBuf::underflow_in_place() {
  char* window = area_ + 1;
  bool saved = false;
  if (eback() < egptr()) {
    area_[0] = egptr()[-1];
    saved = true;
  }
  uint32_t produced = inflate_window(window);
  if (produced == 0) return traits_type::eof();
  total_out_ += produced;
  setg(saved ? area_ : window, window, window + produced);
  return traits_type::to_int_type(*window);
}

void* InflateStreamBuf::run_ahead(void* self) {
  static_cast<InflateStreamBuf*>(self)->produce();
  return nullptr;
}

void InflateStreamBuf::produce() {
  Ahead& a = *ahead_;
  for (int i = 0;; i = (i + 1) % Ahead::kBatches) {
    {
      std::unique_lock<std::mutex> lock(a.mutex);
      a.changed.wait(lock, [&] { return a.stop || a.handed_over < Ahead::kBatches; });
      if (a.stop) return;
    }
    Ahead::Batch& b = a.batches[i];
    b.windows = 0;
    b.last = false;
    uint32_t used = 0;
    while (b.windows < Ahead::kBatchWindows) {
      if (a.stop) return;  // the reader has gone: read no further
      // One call of zlib fills as many windows as are free: zlib then keeps its own copy of
      // the output only once per call, not once per window. The output is cut into the very
      // windows that window-sized calls make: a call ends where its input chunk does.
      bool cut = false;
      uint32_t produced =
          inflate_span(b.area + 1 + used, (Ahead::kBatchWindows - b.windows) * kWindowSize, &cut);
      const std::streamoff offset = source_->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
      for (uint32_t done = 0; done < produced; ++b.windows) {
        const uint32_t window = std::min(produced - done, kWindowSize);
        done += window;
        used += window;
        b.ends[b.windows] = used;
        b.offsets[b.windows] = offset;
      }
      if (produced == 0 || cut) {
        b.last = true;
        b.end_offset = offset;
        break;
      }
    }
    // Once the batch is handed over the reader may take it, reach the end and let this
    // object go: what the thread still needs is read before, and nothing of it touched after.
    const bool last = b.last;
    {
      std::lock_guard<std::mutex> lock(a.mutex);
      ++a.handed_over;
      a.changed.notify_all();
    }
    if (last) return;
  }
}

InflateStreamBuf::int_type InflateStreamBuf::underflow_ahead() {
  Ahead& a = *ahead_;
  if (a.ended) return traits_type::eof();
  bool saved = false;
  char last_byte = 0;
  if (eback() < egptr()) {
    last_byte = egptr()[-1];
    saved = true;
  }
  for (;;) {
    if (a.current >= 0) {
      // Give the batch read back before waiting for the next one.
      const Ahead::Batch& done = a.batches[a.current];
      if (done.windows > 0) a.previous_offset = done.offsets[done.windows - 1];
      if (done.last) {
        a.previous_offset = done.end_offset;
        a.ended = true;
        setg(area_ + 1, area_ + 1, area_ + 1);
        return traits_type::eof();
      }
      {
        std::lock_guard<std::mutex> lock(a.mutex);
        --a.handed_over;
      }
      a.changed.notify_all();
    }
    a.current = (a.current + 1) % Ahead::kBatches;
    {
      std::unique_lock<std::mutex> lock(a.mutex);
      a.changed.wait(lock, [&] { return a.handed_over > 0; });
    }
    Ahead::Batch& b = a.batches[a.current];
    if (b.windows == 0) continue;  // only the end: handled above
    char* start = b.area + 1;
    b.area[0] = last_byte;
    const uint32_t size = b.ends[b.windows - 1];
    total_out_ += size;
    setg(saved ? b.area : start, start, start + size);
    return traits_type::to_int_type(*start);
  }
}

std::streamoff InflateStreamBuf::source_offset() {
  if (!ahead_) return source_->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
  Ahead& a = *ahead_;
  if (a.ended || a.current < 0) return a.previous_offset;
  const Ahead::Batch& b = a.batches[a.current];
  const std::streamoff read = gptr() - (b.area + 1);
  if (read <= 0) return a.previous_offset;
  // The window that holds the last byte read.
  const uint32_t* end = std::lower_bound(b.ends, b.ends + b.windows, uint32_t(read));
  return b.offsets[end - b.ends];
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
    : std::istream(nullptr),
      reader_(reader),
      buf_(std::make_unique<InflateStreamBuf>(reader.rdbuf(), inflate_ahead())) {
  rdbuf(buf_.get());
  reader_.set_inflating(buf_.get());
}

InflateReader::~InflateReader() {
  buf_.reset();  // the thread is done with the part reader from here on
  reader_.set_inflating(nullptr);
}
