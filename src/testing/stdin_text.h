// Test helper: standard input from a text, for code that reads keys from descriptor 0.
#pragma once

#include <string>
#include <string_view>

// Replaces descriptor 0 with a file holding text (end of input after it) while the object
// lives; the previous descriptor 0 comes back on destruction.
class StdinFromText {
 public:
  explicit StdinFromText(std::string_view text);
  ~StdinFromText();
  StdinFromText(const StdinFromText&) = delete;
  StdinFromText& operator=(const StdinFromText&) = delete;

  // Bytes not yet read.
  std::string rest() const;

 private:
  int saved_ = -1;
};
