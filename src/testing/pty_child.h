// Runs a piece of console code in a child process whose descriptors 0, 1 and 2 are the
// terminal side of a new pseudo-terminal, so a test can type keys, read the exact bytes the
// code wrote and look at the terminal's attributes. The terminal starts in its normal
// (canonical, echoing) mode, except that output post-processing is off: the bytes read are
// the bytes written.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>
#include <string_view>

class PtyChild {
 public:
  // Starts body in the child; its result becomes the child's exit status (the console writer
  // is flushed first).
  explicit PtyChild(std::function<int()> body);
  ~PtyChild();  // kills the child if it is still running
  PtyChild(const PtyChild&) = delete;
  PtyChild& operator=(const PtyChild&) = delete;

  bool started() const { return pid_ > 0; }
  void send(std::string_view keys);
  // Reads until the output so far contains marker, or the time-out (milliseconds) passes.
  // Returns whether the marker was seen.
  bool read_until(std::string_view marker, int timeout_ms = 5000);
  // Waits for the child to end and collects the rest of its output. Returns the raw wait
  // status, or -1 when the child had to be killed after timeout_ms.
  int wait(int timeout_ms = 10000);
  // Everything the child wrote so far.
  const std::string& output() const { return output_; }
  // The terminal's current attributes (as the child has set them).
  struct termios attributes() const;
  // The attributes the terminal had when the child started.
  const struct termios& initial_attributes() const { return initial_; }

 private:
  void read_available(int timeout_ms);

  int master_ = -1;
  int terminal_ = -1;  // the parent's descriptor of the terminal side
  pid_t pid_ = -1;
  std::string output_;
  struct termios initial_ = {};
};
