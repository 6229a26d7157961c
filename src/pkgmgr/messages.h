// The package manager's one message channel: error, warning and plain lines and the progress
// line they are drawn around. Every message is formatted into at most 256 bytes and nothing is
// printed in quiet mode.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

class PartReader;

class MessageChannel {
 public:
  // "ERROR: ", "WARNING: " or no prefix, then the text and a newline. Each erases a shown
  // progress line first and draws it again afterwards.
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Shows text as the progress line (nothing when it equals the line shown).
  void show_progress(const std::string& text);
  // label " [" bar "]", the bar filled by the reader's offset over its total_length.
  void show_progress_bar(const std::string& label, PartReader& reader);
  // The same bar filled by done over total.
  void show_progress_bar(const std::string& label, uint64_t done, uint64_t total);
  // Blanks the progress line and forgets it, as the end of an installation does.
  void clear_progress();
  const std::string& progress_line() const { return progress_; }

  bool quiet() const { return quiet_; }
  void set_quiet(bool quiet) { quiet_ = quiet; }
  // Messages from now on are appended to lines (prefix and text, without the newline) instead
  // of being shown; null shows them again.
  void capture(std::vector<std::string>* lines) { captured_ = lines; }

  // The failures of one installation, naming the package by label:
  // "installation of <label> failed: broken package", and for a failed create "... failed:
  // disk is too small" (ENOSPC), "... failed: disk error" (EIO) or "... failed: could not
  // create <what>: <system text>".
  void report_broken(const std::string& label);
  void report_create_failure(const std::string& label, const std::string& what, int error);
  // The same words for an entry that could not be moved out of the way ("... failed: could
  // not move <what> aside: <system text>" for errors other than ENOSPC and EIO).
  void report_move_failure(const std::string& label, const std::string& what, int error);

 private:
  void message(const char* prefix, const char* format, va_list args);

  std::string progress_;
  bool quiet_ = false;
  std::vector<std::string>* captured_ = nullptr;
};
