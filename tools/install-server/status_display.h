// What the operator sees: dated log lines (a router finished, timed out, failed, ...) and, on
// a terminal, one live line per router below them, redrawn in place a few times a second.
// Nothing here may hold up the protocol: standard output is written without blocking, and
// what a slow or stopped terminal (or a full pipe) does not take is dropped or drawn later.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "router_session.h"

// A descriptor written without blocking, through a bounded buffer of whole pieces of text.
// A terminal or pipe is reopened in a file description of its own, so that the non-blocking
// flag never reaches the shell that shares it; a socket is sent to with MSG_DONTWAIT; a
// regular file is written as it is (it does not stall).
class QuietOutput {
 public:
  static constexpr size_t kLimit = 65536;

  explicit QuietOutput(int fd);
  ~QuietOutput();
  QuietOutput(const QuietOutput&) = delete;
  QuietOutput& operator=(const QuietOutput&) = delete;

  // Queues text and writes what the descriptor takes now. False, and nothing queued, when
  // the text would not fit into the buffer beside what waits (an empty buffer takes any
  // text), or when the reader has gone.
  bool write(std::string_view text);
  // Writes what waits, as far as the descriptor takes it now.
  void flush();
  // Bytes still waiting.
  size_t pending() const { return buffer_.size() - sent_; }
  // The descriptor to watch for POLLOUT while bytes wait.
  int fd() const { return fd_; }
  // Waits at most timeout_ms for the waiting bytes to go out.
  void drain(int timeout_ms);

 private:
  int fd_;
  int original_ = -1;      // the descriptor's own flags, when they had to be changed
  bool own_ = false;       // fd_ was opened here
  bool socket_ = false;
  bool gone_ = false;      // the reader has gone: everything is dropped
  std::string buffer_;
  size_t sent_ = 0;        // bytes of buffer_ already written
};

class StatusDisplay {
 public:
  // live: redraw the router lines in place (standard output is a terminal).
  StatusDisplay(QuietOutput& out, bool live) : out_(out), live_(live) {}

  // Also appends every log line to this file descriptor (-1: none); not owned.
  void set_log_file(int fd) { log_fd_ = fd; }

  // Dated log lines. On a terminal they wait for the next frame, above the live lines;
  // otherwise they are written at once.
  void log(const std::vector<std::string>& lines);
  // Draws the waiting log lines and the live lines from the sessions, unless the terminal
  // has not yet taken the last frame. Meant for a few times a second.
  void frame(const std::map<SessionTable::Key, RouterSession>& sessions,
             const std::vector<std::string>& card_names, uint64_t now);
  // Writes what waits, leaves the live lines on the screen and moves below them; waits at
  // most timeout_ms for a terminal that does not read.
  void finish(const std::string& last_line, int timeout_ms);

  // Log lines dropped so far because the output did not take them.
  uint64_t dropped() const { return dropped_; }

 private:
  std::string stamp() const;
  std::string dropped_note();

  QuietOutput& out_;
  bool live_;
  int log_fd_ = -1;
  std::deque<std::string> waiting_;  // dated log lines for the next frame
  uint64_t dropped_ = 0, reported_ = 0;
  size_t drawn_ = 0;                 // live lines on the screen
  std::string last_live_;            // the live lines last drawn
  std::map<SessionTable::Key, std::pair<uint64_t, uint64_t>> last_;  // bytes, time per router
  std::map<SessionTable::Key, double> rate_;
};
