// The package manager's message channel, progress line and installed-list lookups.
#include <cstdio>
#include <string>

#include "archive/part_reader.h"
#include "pkgmgr/package_manager.h"
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

PackageManager& PackageManager::instance() {
  static PackageManager* manager = new PackageManager();  // lives until exit
  return *manager;
}

void PackageManager::message(const char* prefix, bool clear_first, const char* format,
                             va_list args) {
  if (quiet_) return;
  char text[256];
  if (vsnprintf(text, sizeof text, format, args) < 0) text[0] = '\0';
  std::string out;
  if (clear_first && !progress_.empty()) {
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

void PackageManager::error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("ERROR: ", true, format, args);
  va_end(args);
}

void PackageManager::warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("WARNING: ", true, format, args);
  va_end(args);
}

void PackageManager::note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message("", true, format, args);
  va_end(args);
}

void PackageManager::show_progress(const std::string& text) {
  if (quiet_ || text == progress_) return;
  draw_line(text, progress_.size());
  progress_ = text;
}

void PackageManager::show_progress_bar(const std::string& label, PartReader& reader) {
  std::string text = label + " [";
  uint64_t width = text.size() < 76 ? 76 - text.size() : 0;
  uint64_t offset = reader.offset();
  uint64_t total = reader.total_length();
  uint64_t filled = total == 0 ? 0 : width * offset / total;
  if (filled > width) filled = width;
  text.append(size_t(filled), '#');
  text.append(size_t(width - filled), ' ');
  text += ']';
  show_progress(text);
}

std::string PackageManager::owner_of(const std::string& path) const {
  for (const auto& package : installed_)
    if (package->files.count(path)) return package->name;
  return "";
}

void PackageManager::reset() {
  installed_.clear();
  progress_.clear();
  quiet_ = false;
}
