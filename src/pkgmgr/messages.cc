#include "pkgmgr/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/part_reader.h"
#include "system/output.h"

namespace {

const char kHideCursor[] = "\x1b[?25l";
const char kShowCursor[] = "\x1b[?25h";

// Draws text at the start of the current line, blanking what is left of a previous text of
// previous_length bytes, with the cursor hidden meanwhile and back at the line's start after.
void draw_line(const std::string& text, size_t previous_length) {
  std::string out = kHideCursor;
  out += '\r';
  out += text;
  if (previous_length > text.size()) out.append(previous_length - text.size(), ' ');
  out += '\r';
  out += kShowCursor;
  out_text(out);
  out_flush();
}

}  // namespace

void MessageChannel::message(const char* prefix, const char* format, va_list args) {
  if (quiet_) return;
  char text[256];
  if (vsnprintf(text, sizeof text, format, args) < 0) text[0] = '\0';
  if (captured_) {
    captured_->push_back(std::string(prefix) + text);
    return;
  }
  std::string out;
  if (!progress_.empty()) {
    out += '\r';
    out.append(79, ' ');
    out += '\r';
  }
  out += prefix;
  out += text;
  out += '\n';
  out_text(out);
  out_flush();
  if (!progress_.empty()) draw_line(progress_, 0);
}

void MessageChannel::error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("ERROR: ", format, args);
  va_end(args);
}

void MessageChannel::warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("WARNING: ", format, args);
  va_end(args);
}

void MessageChannel::note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("", format, args);
  va_end(args);
}

void MessageChannel::show_progress(const std::string& text) {
  if (quiet_ || text == progress_) return;
  draw_line(text, progress_.size());
  progress_ = text;
}

void MessageChannel::clear_progress() {
  show_progress(std::string(78, ' '));
  show_progress("");
}

void MessageChannel::show_progress_bar(const std::string& label, PartReader& reader) {
  show_progress_bar(label, reader.offset(), reader.total_length());
}

void MessageChannel::show_progress_bar(const std::string& label, uint64_t offset,
                                       uint64_t total) {
  if (quiet_) return;
  std::string text = label + " [";
  uint64_t width = text.size() < 76 ? 76 - text.size() : 0;
  uint64_t filled = total == 0 ? 0 : width * offset / total;
  if (filled > width) filled = width;
  text.append(size_t(filled), '#');
  text.append(size_t(width - filled), ' ');
  text += ']';
  show_progress(text);
}

void MessageChannel::report_broken(const std::string& label) {
  error("installation of %s failed: broken package", label.c_str());
}

void MessageChannel::report_create_failure(const std::string& label, const std::string& what,
                                           int error_number) {
  if (error_number == ENOSPC)
    error("installation of %s failed: disk is too small", label.c_str());
  else if (error_number == EIO)
    error("installation of %s failed: disk error", label.c_str());
  else
    error("installation of %s failed: could not create %s: %s", label.c_str(), what.c_str(),
          strerror(error_number));
}

void MessageChannel::report_move_failure(const std::string& label, const std::string& what,
                                         int error_number) {
  if (error_number == ENOSPC || error_number == EIO)
    report_create_failure(label, what, error_number);
  else
    error("installation of %s failed: could not move %s aside: %s", label.c_str(), what.c_str(),
          strerror(error_number));
}
