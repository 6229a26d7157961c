#include "status_display.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

std::string human_bytes(uint64_t n) {
  char text[32];
  if (n < 10000)
    snprintf(text, sizeof text, "%llu B", (unsigned long long)n);
  else if (n < 10000000)
    snprintf(text, sizeof text, "%.1f kB", double(n) / 1e3);
  else
    snprintf(text, sizeof text, "%.1f MB", double(n) / 1e6);
  return text;
}

// Log lines kept for the next frame; more are dropped and counted.
constexpr size_t kMaxWaiting = 1000;

}  // namespace

QuietOutput::QuietOutput(int fd) : fd_(fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return;
  if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) {
    socket_ = true;
    return;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  int own = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own >= 0) {
    fd_ = own;
    own_ = true;
    return;
  }
  // No file description of our own: the shared one is made non-blocking for as long as we
  // run, and given its flags back at the end.
  original_ = fcntl(fd, F_GETFL);
  if (original_ != -1) fcntl(fd, F_SETFL, original_ | O_NONBLOCK);
}

QuietOutput::~QuietOutput() {
  if (own_) close(fd_);
  if (original_ != -1) fcntl(fd_, F_SETFL, original_);
}

bool QuietOutput::write(std::string_view text) {
  if (gone_) return false;
  if (pending() > 0 && pending() + text.size() > kLimit) return false;
  buffer_.append(text);
  flush();
  return true;
}

void QuietOutput::flush() {
  while (pending() > 0 && !gone_) {
    const char* from = buffer_.data() + sent_;
    ssize_t n = socket_ ? send(fd_, from, pending(), MSG_DONTWAIT | MSG_NOSIGNAL)
                        : ::write(fd_, from, pending());
    if (n > 0) {
      sent_ += size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      gone_ = true;  // the reader has gone, or the terminal was hung up
    }
  }
  if (gone_ || sent_ == buffer_.size()) {
    buffer_.clear();
    sent_ = 0;
  } else if (sent_ > kLimit) {
    buffer_.erase(0, sent_);
    sent_ = 0;
  }
}

void QuietOutput::drain(int timeout_ms) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (flush(); pending() > 0;) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    long spent = (t.tv_sec - start.tv_sec) * 1000 + (t.tv_nsec - start.tv_nsec) / 1000000;
    long left = timeout_ms - spent;
    if (left <= 0) break;
    pollfd p = {fd_, POLLOUT, 0};
    poll(&p, 1, int(left));
    flush();
  }
}

std::string StatusDisplay::stamp() const {
  time_t t = time(nullptr);
  struct tm local;
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &local));
  return text;
}

std::string StatusDisplay::dropped_note() {
  if (dropped_ == reported_) return "";
  return stamp() + " (" + std::to_string(dropped_ - reported_) +
         " log lines not shown: the output did not keep up)\n";
}

void StatusDisplay::log(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  std::string when = stamp();
  std::string all;
  for (const std::string& line : lines) all += when + " " + line + "\n";
  for (size_t done = 0; log_fd_ >= 0 && done < all.size();) {
    ssize_t n = ::write(log_fd_, all.data() + done, all.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  for (const std::string& line : lines) {
    std::string text = when + " " + line + "\n";
    if (live_) {
      if (waiting_.size() < kMaxWaiting)
        waiting_.push_back(std::move(text));
      else
        ++dropped_;
      continue;
    }
    std::string note = dropped_note();
    if (out_.write(note + text))
      reported_ = dropped_;
    else
      ++dropped_;
  }
}

void StatusDisplay::frame(const std::map<SessionTable::Key, RouterSession>& sessions,
                          const std::vector<std::string>& card_names, uint64_t now) {
  if (!live_) return;
  out_.flush();
  // The terminal has not taken the last frame yet: this one is left out, and the next one
  // shows the state as it then stands.
  if (out_.pending() > 0) return;
  std::string live;
  for (const auto& [key, s] : sessions) {
    auto& last = last_[key];
    if (now > last.second + 400000) {
      uint64_t delta = s.bytes >= last.first ? s.bytes - last.first : 0;
      rate_[key] = last.second ? double(delta) / (double(now - last.second) / 1e6) : 0;
      last = {s.bytes, now};
    }
    const char* card =
        size_t(key.card) < card_names.size() ? card_names[size_t(key.card)].c_str() : "?";
    std::string file = s.current.empty() ? "-" : s.current;
    char line[256];
    snprintf(line, sizeof line, "%s %-6s %-20.20s %-10s %-24.24s %10s %10s/s\n",
             mac_text(key.router.data()).c_str(), card, s.label.c_str(), state_name(s.state),
             file.c_str(), human_bytes(s.bytes).c_str(), human_bytes(uint64_t(rate_[key])).c_str());
    live += line;
  }
  for (auto i = last_.begin(); i != last_.end();)
    i = sessions.count(i->first) ? std::next(i) : (rate_.erase(i->first), last_.erase(i));
  if (waiting_.empty() && dropped_ == reported_ && live == last_live_) return;

  std::string text;
  for (size_t i = 0; i < drawn_; ++i) text += "\033[1A\033[2K";
  text += dropped_note();
  while (!waiting_.empty() && text.size() + waiting_.front().size() < QuietOutput::kLimit) {
    text += waiting_.front();
    waiting_.pop_front();
  }
  text += live;
  if (!out_.write(text)) return;  // the reader has gone
  reported_ = dropped_;
  last_live_ = live;
  drawn_ = size_t(std::count(live.begin(), live.end(), '\n'));
}

void StatusDisplay::finish(const std::string& last_line, int timeout_ms) {
  std::string text;
  if (live_) {
    // The waiting log lines above the live lines, which stay on the screen.
    for (size_t i = 0; i < drawn_; ++i) text += "\033[1A\033[2K";
    text += dropped_note();
    for (const std::string& line : waiting_) text += line;
    text += last_live_;
    waiting_.clear();
  } else {
    text = dropped_note();
  }
  out_.write(text + last_line + "\n");
  drawn_ = 0;
  out_.drain(timeout_ms);
}
