// The console writer. All of the installer's console text goes through these calls, so that a
// test can capture the exact bytes. Output goes to the standard output stream unless an
// OutputCapture is alive. Flush before forking: a child inherits unwritten bytes.
#pragma once

#include <cstddef>
#include <string>

void out_write(const void* data, size_t length);
void out_text(const std::string& text);
void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out_flush();

// Prints "label: <system text for errnum>" and a newline on standard error, as perror does,
// after flushing the console so that the two streams keep their order.
void print_system_error(const char* label, int errnum);

// While an OutputCapture exists, console output is appended to it instead of being written.
// Captures do not nest.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  const std::string& text() const { return text_; }
  // Returns the text captured so far and starts afresh.
  std::string take();

 private:
  friend void out_write(const void*, size_t);
  std::string text_;
};
