#include "archive/version_text.h"

#include <cstdio>
#include <cstring>

#include "archive/package.h"

const char* version_text(uint32_t version) {
  static char buffer[80];
  unsigned major = version >> 24, minor = (version >> 16) & 0xFF;
  unsigned stage = (version >> 8) & 0xFF, build = version & 0xFF;
  if (stage == 'f') {
    if (build != 0)
      snprintf(buffer, sizeof buffer, "%u.%u.%u", major, minor, build);
    else
      snprintf(buffer, sizeof buffer, "%u.%u", major, minor);
    return buffer;
  }
  const char* word = stage == 'a' ? "alpha" : stage == 'b' ? "beta" : stage == 'c' ? "rc" : "";
  if (build != 0)
    snprintf(buffer, sizeof buffer, "%u.%u%s%u", major, minor, word, build);
  else
    snprintf(buffer, sizeof buffer, "%u.%u%s", major, minor, word);
  return buffer;
}

std::string package_label(const PackageInfo& package) {
  return package.name + "-" + version_text(package.version);
}

std::string requirement_label(const PackageRef& ref) {
  if (ref.min_version == 0) return ref.name;
  return ref.name + "-" + version_text(ref.min_version);
}

namespace {

// Reads a decimal number of at most 3 digits and at most 255 at the front of text.
bool take_byte(std::string_view& text, uint32_t* value) {
  size_t n = 0;
  uint32_t v = 0;
  while (n < text.size() && n < 4 && text[n] >= '0' && text[n] <= '9') {
    v = v * 10 + uint32_t(text[n] - '0');
    ++n;
  }
  if (n == 0 || n > 3 || v > 255) return false;
  text.remove_prefix(n);
  *value = v;
  return true;
}

}  // namespace

bool parse_version(std::string_view text, uint32_t* version) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint64_t v = 0;
    if (text.size() > 10) return false;
    for (char c : text.substr(2)) {
      int digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      else return false;
      v = v * 16 + uint64_t(digit);
    }
    *version = uint32_t(v);
    return true;
  }
  uint32_t major, minor, build = 0, stage = 'f';
  if (!take_byte(text, &major) || text.empty() || text.front() != '.') return false;
  text.remove_prefix(1);
  if (!take_byte(text, &minor)) return false;
  if (!text.empty() && text.front() == '.') {
    text.remove_prefix(1);
    if (!take_byte(text, &build) || build == 0) return false;
  } else if (!text.empty()) {
    static const struct { const char* word; char stage; } kStages[] = {
        {"alpha", 'a'}, {"beta", 'b'}, {"rc", 'c'}};
    bool found = false;
    for (const auto& s : kStages) {
      size_t len = strlen(s.word);
      if (text.substr(0, len) == s.word) {
        stage = uint32_t(s.stage);
        text.remove_prefix(len);
        found = true;
        break;
      }
    }
    if (!found) return false;
    if (!text.empty() && !take_byte(text, &build)) return false;
  }
  if (!text.empty()) return false;
  *version = major << 24 | minor << 16 | stage << 8 | build;
  return true;
}
