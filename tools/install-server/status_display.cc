#include "status_display.h"

#include <cstdio>
#include <ctime>

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

}  // namespace

void StatusDisplay::erase() {
  for (; drawn_ > 0; --drawn_) fputs("\033[1A\033[2K", stdout);
}

void StatusDisplay::log(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  erase();
  time_t t = time(nullptr);
  char stamp[16];
  strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&t));
  for (const std::string& line : lines) printf("%s %s\n", stamp, line.c_str());
  fflush(stdout);
}

void StatusDisplay::redraw(const std::map<SessionTable::Key, RouterSession>& sessions,
                           const std::vector<std::string>& card_names, uint64_t now) {
  if (!live_) return;
  erase();
  for (const auto& [key, s] : sessions) {
    auto& last = last_[key];
    if (now > last.second + 400000) {
      uint64_t delta = s.bytes >= last.first ? s.bytes - last.first : 0;
      rate_[key] = last.second ? double(delta) / (double(now - last.second) / 1e6) : 0;
      last = {s.bytes, now};
    }
    const char* card = size_t(key.card) < card_names.size() ? card_names[size_t(key.card)].c_str() : "?";
    std::string file = s.current.empty() ? "-" : s.current;
    printf("%s %-6s %-20.20s %-10s %-24.24s %10s %10s/s\n", mac_text(key.router.data()).c_str(),
           card, s.label.c_str(), state_name(s.state), file.c_str(), human_bytes(s.bytes).c_str(),
           human_bytes(uint64_t(rate_[key])).c_str());
    ++drawn_;
  }
  fflush(stdout);
}

void StatusDisplay::finish() {
  drawn_ = 0;
  fflush(stdout);
}
