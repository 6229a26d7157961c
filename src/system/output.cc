#include "system/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
OutputCapture* g_capture = nullptr;
}

void out_write(const void* data, size_t length) {
  if (g_capture) {
    g_capture->text_.append(static_cast<const char*>(data), length);
    return;
  }
  fwrite(data, 1, length, stdout);
}

void out_text(const std::string& text) { out_write(text.data(), text.size()); }

void out_printf(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) return;
  if (size_t(n) < sizeof small) {
    out_write(small, size_t(n));
    return;
  }
  std::vector<char> big(size_t(n) + 1);
  va_start(args, format);
  vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  out_write(big.data(), size_t(n));
}

void out_flush() {
  if (!g_capture) fflush(stdout);
}

void print_system_error(const char* label, int errnum) {
  out_flush();
  fprintf(stderr, "%s: %s\n", label, strerror(errnum));
}

OutputCapture::OutputCapture() { g_capture = this; }
OutputCapture::~OutputCapture() {
  if (g_capture == this) g_capture = nullptr;
}

std::string OutputCapture::take() {
  std::string result;
  result.swap(text_);
  return result;
}
