#include "frontend/package_menu.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/output.h"
#include "testing/stdin_text.h"

namespace {

PackageRef ref(const std::string& name, uint32_t min = 0, uint32_t max = 0) {
  PackageRef r;
  r.name = name;
  r.min_version = min;
  r.max_version = max;
  return r;
}

// A menu over packages added in menu order; keys come from standard input.
class MenuTest : public ::testing::Test {
 protected:
  PackageInfo& add(const std::string& name, std::vector<PackageRef> depends = {},
                    const std::string& description = "") {
    auto p = std::make_unique<PackageInfo>();
    p->name = name;
    p->version = 0x01000000;
    p->depends = std::move(depends);
    p->description = description;
    menu_.packages.push_back(p.get());
    owned_.push_back(std::move(p));
    return *owned_.back();
  }
  // The seven packages of the menu screens: system, ppp, dhcp, extras, filters, qos, shaper.
  void add_seven() {
    add("system", {}, "The base system.");
    add("ppp", {ref("system")});
    add("dhcp", {ref("system")});
    add("extras", {ref("system")});
    add("filters", {ref("system")});
    add("qos", {ref("shaper")});
    add("shaper", {ref("system"), ref("filters")});
  }
  bool run(const std::string& keys) {
    StdinFromText input(keys);
    OutputCapture capture;
    bool result = run_package_menu(menu_);
    output_ = capture.text();
    return result;
  }
  std::string selected() const {
    std::string names;
    for (size_t i = 0; i < menu_.packages.size(); ++i)
      if (menu_.selected[i]) names += (names.empty() ? "" : " ") + menu_.packages[i]->name;
    return names;
  }

  PackageMenu menu_;
  std::vector<std::unique_ptr<PackageInfo>> owned_;
  std::string output_;
};

TEST(WordWrapper, BreaksBeforeSeventySevenCharacters) {
  OutputCapture capture;
  print_wrapped(
      "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all "
      "with 'a', minimum with 'm'. Press 'i' to install locally or 'q' to cancel and reboot.");
  EXPECT_EQ(capture.take(),
            "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. \n"
            "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'q' to \n"
            "cancel and reboot. \n");
}

TEST(WordWrapper, SeparatorsLongWordsAndEmptyText) {
  OutputCapture capture;
  print_wrapped("  two\n\nwords  ");
  EXPECT_EQ(capture.take(), "two words \n");
  std::string long_word(90, 'w');
  print_wrapped("a " + long_word + " b");
  EXPECT_EQ(capture.take(), "a \n" + long_word + " \nb \n");
  print_wrapped(long_word);  // even an empty line is printed before a word that overflows
  EXPECT_EQ(capture.take(), "\n" + long_word + " \n");
  print_wrapped("");
  EXPECT_EQ(capture.take(), "\n");
  // 77 characters plus the blank still fit on one line.
  std::string fill(75, 'f');
  print_wrapped(fill + " x");
  EXPECT_EQ(capture.take(), fill + " x \n");
  print_wrapped(fill + " xy");
  EXPECT_EQ(capture.take(), fill + " \nxy \n");
}

TEST_F(MenuTest, StartsFromTheMinimumSelection) {
  add_seven();
  menu_.selected.assign(owned_.size(), true);
  EXPECT_TRUE(run("i"));
  EXPECT_EQ(selected(), "system");
  EXPECT_EQ(menu_.rows, 3u);
}

TEST_F(MenuTest, SpaceSelectsWithDependencies) {
  add_seven();
  EXPECT_TRUE(run("nnnnnn i"));  // shaper
  EXPECT_EQ(selected(), "system filters shaper");
}

TEST_F(MenuTest, DependenciesAreSelectedTransitively) {
  add("system");
  add("a", {ref("b"), ref("missing")});
  add("b", {ref("c")});
  add("c", {ref("a")});  // a cycle ends at what is already selected
  EXPECT_TRUE(run("n I"));
  EXPECT_EQ(selected(), "system a b c");
}

TEST_F(MenuTest, DeselectingReachesOnlyDirectDependants) {
  add_seven();
  // Select all, then deselect filters: shaper needs it and goes; qos needs only shaper and
  // stays.
  EXPECT_TRUE(run("annnn i"));
  EXPECT_EQ(selected(), "system ppp dhcp extras qos");
}

TEST_F(MenuTest, DependantsByVersionRangeAndProvides) {
  add("system");
  PackageInfo& lib = add("lib");
  lib.version = 0x02000000;
  add("old-user", {ref("lib", 0x01000000, 0x01ff0000)});  // range excludes lib 2
  add("new-user", {ref("lib", 0x02000000)});
  add("virtual-user", {ref("libapi")});
  lib.provides.push_back(ref("libapi"));
  EXPECT_TRUE(run("an i"));
  EXPECT_EQ(selected(), "system old-user");
}

TEST_F(MenuTest, SystemStaysButItsDependantRuleHasNoException) {
  add("system", {ref("base")});
  add("base");
  EXPECT_TRUE(run("a"   // select all
                  " "  // space on system: nothing happens
                  "n "  // deselect base: system depends on it and goes too
                  "i"));
  EXPECT_EQ(selected(), "");

  menu_.cursor = 0;
  EXPECT_TRUE(run(" i"));
  EXPECT_EQ(selected(), "system");
}

TEST_F(MenuTest, MinimumWithoutSystemSelectsNothing) {
  add("ppp");
  add("dhcp");
  EXPECT_TRUE(run("ami"));
  EXPECT_EQ(selected(), "");
}

TEST_F(MenuTest, ArrowsFollowTheColumns) {
  add_seven();
  EXPECT_TRUE(run("n\033[C\033[C i"));  // 1 -> 4 -> (7 is past the end) 4
  EXPECT_EQ(menu_.cursor, 4u);
  EXPECT_EQ(selected(), "system filters");

  menu_.cursor = 0;
  EXPECT_TRUE(run("\033[C\033[C\033[C\033[B\033[D\033[A\033[Dp i"));  // 0 3 6 6 6 3 2 . 1 0
  EXPECT_EQ(menu_.cursor, 1u);
  EXPECT_EQ(selected(), "system ppp");

  menu_.cursor = 0;
  EXPECT_TRUE(run("\033[Z\033[a\033[1 \033[D P i"));  // nothing moves; ESC [ blank is dropped
  EXPECT_EQ(menu_.cursor, 0u);
  EXPECT_EQ(selected(), "system");

  // Terminals in application mode send ESC O and the letter: the same arrows.
  menu_.cursor = 0;
  EXPECT_TRUE(run("\033OC\033OB\033OB\033OD\033OA i"));  // 0 3 4 5 2 1
  EXPECT_EQ(menu_.cursor, 1u);
  EXPECT_EQ(selected(), "system ppp");
  menu_.cursor = 0;
  EXPECT_TRUE(run("\033Oa\033OZ i"));  // nothing moves, nothing is selected but the space
  EXPECT_EQ(menu_.cursor, 0u);
  EXPECT_EQ(selected(), "system");
}

TEST_F(MenuTest, EndingKeys) {
  add_seven();
  EXPECT_TRUE(run("I"));
  EXPECT_FALSE(run("q"));
  EXPECT_FALSE(run("Q"));
  EXPECT_FALSE(run("\033q"));       // ESC followed by an ordinary key
  EXPECT_FALSE(run("xyz"));         // end of input cancels
  EXPECT_FALSE(run("\033"));
  EXPECT_FALSE(run("\033["));
  EXPECT_FALSE(run(std::string("\0", 1) + "a"));  // NUL is not the space bar
  EXPECT_EQ(selected(), "system ppp dhcp extras filters qos shaper");
  // The last bytes move to the bottom row and show the cursor again.
  EXPECT_EQ(output_.substr(output_.size() - 13), "\033[25;0H\033[?25h");
}

TEST_F(MenuTest, ScreenBytesOfEntriesAndDetail) {
  add("system", {}, "Base.");
  add("tools", {ref("system"), ref("extras")});
  EXPECT_FALSE(run("nq"));
  std::string detail_rows = "\033[21;0H\033[2K\033[22;0H\033[2K\033[23;0H\033[2K\033[21;0H";
  const std::string start =
      "\033[2J\033[H\033[?25l\033[m\033[1m" + std::string(16, ' ') +
      "Welcome to Quovalen Router Software installation\n" + std::string(40, ' ') + "\n\033[m";
  ASSERT_EQ(output_.substr(0, start.size()), start);
  std::string after_help = output_.substr(output_.find("reboot. \n") + 9);
  EXPECT_EQ(after_help,
            // all entries, before and after the minimum selection (two rows: 1 per column)
            "\033[7;0H \033[m\033[7m [ ] system \033[m\033[7;26H  [ ] tools "
            "\033[7;0H \033[m\033[7m [X] system \033[m\033[7;26H  [ ] tools " +
            detail_rows + "system (depends on nothing):\nBase. \n" +
            // 'n': old entry, new entry, detail
            "\033[7;0H  [X] system \033[7;26H \033[m\033[7m [ ] tools \033[m" + detail_rows +
            "tools (depends on system, extras):\n\n" +
            // 'q'
            "\033[25;0H\033[?25h");
}

// What the output does to an 80x24 screen: the lowest row written to, and whether anything
// scrolled it (a newline on the last row, or text running past the last column of it).
struct ScreenEffect {
  unsigned lowest_row = 0;
  bool scrolled = false;
};

ScreenEffect screen_effect(const std::string& out) {
  ScreenEffect effect;
  unsigned row = 1, column = 1;
  for (size_t i = 0; i < out.size(); ++i) {
    char c = out[i];
    if (c == '\033' && i + 1 < out.size() && out[i + 1] == '[') {
      size_t end = out.find_first_of("ABCDHJKmhl", i + 2);
      if (end == std::string::npos) break;
      if (out[end] == 'H') {
        unsigned r = 1, col = 1;
        if (sscanf(out.c_str() + i + 2, "%u;%u", &r, &col) >= 1) {
          row = std::min(std::max(r, 1u), 24u);
          column = std::min(std::max(col, 1u), 80u);
        }
      }
      i = end;
    } else if (c == '\n') {
      if (row == 24) effect.scrolled = true;
      row = std::min(row + 1, 24u);
      column = 1;
    } else if (c == '\r') {
      column = 1;
    } else {
      if (column > 80) {  // the text wraps onto the next row
        if (row == 24) effect.scrolled = true;
        row = std::min(row + 1, 24u);
        column = 1;
      }
      effect.lowest_row = std::max(effect.lowest_row, row);
      ++column;
    }
  }
  return effect;
}

// The detail area is rows 21 to 23: a long description is wrapped and cut to the two rows
// below the depends line, and a depends line longer than a row is cut; nothing scrolls.
TEST_F(MenuTest, DetailAreaNeverScrollsTheScreen) {
  std::string description;
  for (int i = 0; i < 40; ++i) description += "word" + std::to_string(i) + " ";
  std::string long_word(100, 'w');
  add("system", {}, description);
  std::vector<PackageRef> many;
  for (int i = 0; i < 12; ++i) many.push_back(PackageRef{"dependency-" + std::to_string(i), 0, 0, 0});
  add("tools", many, long_word);
  EXPECT_FALSE(run("npq"));
  ScreenEffect effect = screen_effect(output_);
  EXPECT_FALSE(effect.scrolled);
  EXPECT_LE(effect.lowest_row, 23u);
  // Every drawing of the detail area starts by erasing its three rows.
  size_t erasures = 0;
  for (size_t at = 0; (at = output_.find("\033[23;0H\033[2K", at)) != std::string::npos; ++at)
    ++erasures;
  EXPECT_EQ(erasures, 3u);
}

TEST_F(MenuTest, EmptyListIsNotShown) {
  EXPECT_FALSE(run("i"));
  EXPECT_EQ(output_, "");
}

}  // namespace
