// What the operator sees: log lines (a router finished, timed out, failed, ...) and, on a
// terminal, one live line per router below them, redrawn in place.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "router_session.h"

class StatusDisplay {
 public:
  // live: redraw the router lines in place (standard output is a terminal).
  explicit StatusDisplay(bool live) : live_(live) {}

  // Prints log lines above the live lines.
  void log(const std::vector<std::string>& lines);
  // Redraws the live lines from the sessions (at most twice a second is enough).
  void redraw(const std::map<SessionTable::Key, RouterSession>& sessions,
              const std::vector<std::string>& card_names, uint64_t now);
  // Leaves the live lines on the screen and moves below them.
  void finish();

 private:
  void erase();

  bool live_;
  size_t drawn_ = 0;  // live lines on the screen
  std::map<SessionTable::Key, std::pair<uint64_t, uint64_t>> last_;  // bytes, time per router
  std::map<SessionTable::Key, double> rate_;
};
