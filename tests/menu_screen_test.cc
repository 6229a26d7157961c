// The package menu as a person sees it: the demo program runs in tmux on an 80x25 screen, the
// test types keys and compares the captured screen with the expected text.
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "scenario_support.h"

namespace {

class TmuxScreen {
 public:
  TmuxScreen() : socket_(dir_.path() + "/tmux.socket") {}
  ~TmuxScreen() { tmux({"kill-server"}); }

  bool start(const std::string& command) {
    return tmux({"-f", "/dev/null", "new-session", "-d", "-s", "menu", "-x", "80", "-y", "25",
                 command})
               .status == 0;
  }
  // Key names as tmux knows them ("Right", "Space", "q"), or hex bytes with hex = true.
  void keys(const std::vector<std::string>& names, bool hex = false) {
    std::vector<std::string> args = {"send-keys", "-t", "menu"};
    if (hex) args.push_back("-H");
    args.insert(args.end(), names.begin(), names.end());
    tmux(args);
  }
  // The visible screen, one line per row with trailing blanks dropped.
  std::string screen(bool attributes = false) {
    std::vector<std::string> args = {"capture-pane", "-p", "-t", "menu"};
    if (attributes) args.push_back("-e");
    return tmux(args).output;
  }
  // Waits until the screen shows expected (at most five seconds) and returns the screen.
  std::string wait_for(const std::string& expected) {
    std::string shown;
    for (int i = 0; i < 100; ++i) {
      shown = screen();
      if (shown == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return shown;
  }

 private:
  CommandResult tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-S", socket_});
    return run_command(args, "", 10000);
  }
  TempDir dir_;  // holds the server's socket: every screen has a server of its own
  std::string socket_;
};

std::string expected(const char* name) {
  return read_file(std::string(KEST_SCREENS_DIR) + "/" + name);
}

class MenuScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    if (find_program("tmux").empty()) GTEST_SKIP() << "tmux is not installed";
    ASSERT_TRUE(screen_.start(KEST_MENU_DEMO));
    ASSERT_EQ(screen_.wait_for(expected("start.txt")), expected("start.txt"));
  }
  TmuxScreen screen_;
};

TEST_F(MenuScreen, SevenPackagesInThreeColumns) {
  // The current entry is in reverse video, without its leading blank.
  std::string row7 = screen_.screen(true);
  row7 = row7.substr(0, row7.find("extras"));
  EXPECT_NE(row7.find(" \033[7m [X] system \033[0m"), std::string::npos) << row7;

  // Right twice reaches shaper (0 -> 3 -> 6), a third time there is nothing; space selects
  // shaper with filters.
  screen_.keys({"Right", "Right", "Right", "Space"});
  EXPECT_EQ(screen_.wait_for(expected("shaper_selected.txt")), expected("shaper_selected.txt"));

  // All, then filters (6 -> 3 -> 4) deselected: shaper goes with it, qos stays.
  screen_.keys({"a", "Left", "n", "Space"});
  EXPECT_EQ(screen_.wait_for(expected("filters_deselected.txt")),
            expected("filters_deselected.txt"));

  // Minimum, up to ppp (entry 1), then right to filters (4); 7 is past the end.
  screen_.keys({"m", "p", "p", "p"});
  std::string at_ppp = expected("right_arrow.txt");
  at_ppp.replace(at_ppp.find("filters (depends on system):\nPacket filters."),
                 std::string("filters (depends on system):\nPacket filters.").size(),
                 "ppp (depends on system):\nPoint-to-point protocol for dial-up links.");
  EXPECT_EQ(screen_.wait_for(at_ppp), at_ppp);
  screen_.keys({"Right", "Right"});
  EXPECT_EQ(screen_.wait_for(expected("right_arrow.txt")), expected("right_arrow.txt"));

  // Select filters and install: the menu hands the choice back.
  screen_.keys({"Space", "i"});
  EXPECT_EQ(screen_.wait_for(expected("installed.txt")), expected("installed.txt"));
}

TEST_F(MenuScreen, EscapeThenQCancels) {
  // extras has no description: only its depends line shows.
  screen_.keys({"Right"});
  screen_.keys({"1b", "71"}, /*hex=*/true);
  EXPECT_EQ(screen_.wait_for(expected("cancelled.txt")), expected("cancelled.txt"));
}

}  // namespace
