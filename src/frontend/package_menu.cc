#include "frontend/package_menu.h"

#include <algorithm>
#include <string>
#include <vector>

#include "frontend/console.h"
#include "system/output.h"

namespace {

const char kHeader[] = "Welcome to Quovalen Router Software installation\n";
const char kHelp[] =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all "
    "with 'a', minimum with 'm'. Press 'i' to install locally or 'q' to cancel and reboot.";

constexpr int kEscape = 0x1b;
constexpr unsigned kFirstListRow = 7, kColumnWidth = 26;
constexpr unsigned kDetailRow = 21, kDetailRows = 3, kFinalRow = 25;
constexpr size_t kWrapWidth = 77;
constexpr size_t kLineWidth = kWrapWidth + 1;  // a wrapped line ends in a blank

void move_to(unsigned row, unsigned column) { out_printf("\033[%u;%uH", row, column); }

bool is_system(const PackageInfo& p) { return p.name == "system"; }

// The first entry named name, or -1.
int find_by_name(const PackageMenu& menu, const std::string& name) {
  for (size_t i = 0; i < menu.packages.size(); ++i)
    if (menu.packages[i]->name == name) return int(i);
  return -1;
}

void draw_entry(const PackageMenu& menu, unsigned i) {
  const PackageInfo& p = *menu.packages[i];
  move_to(i % menu.rows + kFirstListRow, i / menu.rows * kColumnWidth);
  out_write(" ", 1);
  bool current = i == menu.cursor;
  if (current) set_text_attributes(kReverse);
  out_printf(" [%c] %s ", menu.selected[i] ? 'X' : ' ', p.name.c_str());
  if (current) set_text_attributes(0);
}

void draw_all(const PackageMenu& menu) {
  for (unsigned i = 0; i < menu.packages.size(); ++i) draw_entry(menu, i);
}

void draw_detail(const PackageMenu& menu) {
  for (unsigned row = kDetailRow; row < kDetailRow + kDetailRows; ++row) {
    move_to(row, 0);
    out_text("\033[2K");
  }
  move_to(kDetailRow, 0);
  const PackageInfo& p = *menu.packages[menu.cursor];
  std::string line = p.name + " (depends on ";
  if (p.depends.empty()) line += "nothing";
  for (size_t k = 0; k < p.depends.size(); ++k) {
    if (k) line += ", ";
    line += p.depends[k].name;
  }
  line += "):";
  // The area has three rows and the screen ends below it: every line is cut to the width of
  // the wrapper's lines and the description to the rows left, so that nothing wraps or
  // scrolls the screen (which would leave every later drawing one row off).
  print_line(line.data(), std::min(line.size(), kLineWidth), false);
  std::vector<std::string> description = wrap_words(p.description);
  for (size_t k = 0; k < description.size() && k + 1 < kDetailRows; ++k)
    print_line(description[k].data(), std::min(description[k].size(), kLineWidth), false);
}

void select_with_dependencies(PackageMenu& menu, unsigned i) {
  menu.selected[i] = true;
  for (const PackageRef& d : menu.packages[i]->depends) {
    int dependency = find_by_name(menu, d.name);
    if (dependency >= 0 && !menu.selected[unsigned(dependency)])
      select_with_dependencies(menu, unsigned(dependency));
  }
}

void toggle(PackageMenu& menu, unsigned i) {
  if (!menu.selected[i]) {
    select_with_dependencies(menu, i);
    return;
  }
  const PackageInfo& p = *menu.packages[i];
  if (is_system(p)) return;
  menu.selected[i] = false;
  // Only direct dependants: what depends on those stays as it is.
  for (size_t k = 0; k < menu.packages.size(); ++k)
    if (depends_on(*menu.packages[k], p)) menu.selected[k] = false;
}

void select_minimum(PackageMenu& menu) {
  for (size_t k = 0; k < menu.packages.size(); ++k)
    menu.selected[k] = is_system(*menu.packages[k]);
}

void move_cursor(PackageMenu& menu, unsigned target) {
  unsigned old = menu.cursor;
  menu.cursor = target;
  draw_entry(menu, old);
  draw_entry(menu, target);
  draw_detail(menu);
}

bool leave(TerminalState& state, bool install) {
  move_to(kFinalRow, 0);
  restore_terminal(state);
  out_flush();
  return install;
}

}  // namespace

std::vector<std::string> wrap_words(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  size_t at = 0;
  for (;;) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n')) ++at;
    if (at == text.size()) break;
    size_t end = at;
    while (end < text.size() && text[end] != ' ' && text[end] != '\n') ++end;
    std::string_view word = text.substr(at, end - at);
    if (line.size() + word.size() > kWrapWidth) {
      lines.push_back(line);
      line.clear();
    }
    line.append(word);
    line += ' ';
    at = end;
  }
  lines.push_back(line);
  return lines;
}

void print_wrapped(std::string_view text) {
  for (const std::string& line : wrap_words(text)) print_line(line.data(), line.size(), false);
}

bool run_package_menu(PackageMenu& menu) {
  const unsigned n = unsigned(menu.packages.size());
  if (n == 0) return false;
  menu.rows = n / 3 + (n % 3 != 0 ? 1 : 0);
  if (menu.cursor >= n) menu.cursor = 0;
  menu.selected.assign(n, false);

  TerminalState state;
  enter_raw_mode(state);
  out_text("\033[2J\033[H");
  out_text("\033[?25l");

  set_text_attributes(kBold);
  std::string_view header(kHeader);
  for (;;) {
    size_t newline = header.find('\n');
    print_line(header.data(), newline == header.npos ? header.size() : newline, true);
    if (newline == header.npos) break;
    header.remove_prefix(newline + 1);
  }
  set_text_attributes(0);
  print_wrapped(kHelp);

  draw_all(menu);
  select_minimum(menu);
  draw_all(menu);
  draw_detail(menu);

  for (;;) {
    out_flush();
    int key = read_key();
    if (key < 0) return leave(state, false);
    if (key == kEscape) {
      key = read_key();
      if (key < 0) return leave(state, false);
      // ESC [ and, from terminals in application mode, ESC O: a cursor key follows.
      if (key == '[' || key == 'O') {
        int code = read_key();
        if (code < 0) return leave(state, false);
        unsigned c = menu.cursor;
        if (code == 'A' && c > 0) move_cursor(menu, c - 1);
        if (code == 'B' && c + 1 < n) move_cursor(menu, c + 1);
        if (code == 'C' && c + menu.rows < n) move_cursor(menu, c + menu.rows);
        if (code == 'D' && c >= menu.rows) move_cursor(menu, c - menu.rows);
        continue;
      }
      // Not a sequence: the second key counts on its own.
    }
    if (key == ' ') {
      toggle(menu, menu.cursor);
      draw_all(menu);
      continue;
    }
    switch (key & ~0x20) {
      case 'P':
        if (menu.cursor > 0) move_cursor(menu, menu.cursor - 1);
        break;
      case 'N':
        if (menu.cursor + 1 < n) move_cursor(menu, menu.cursor + 1);
        break;
      case 'A':
        menu.selected.assign(n, true);
        draw_all(menu);
        break;
      case 'M':
        select_minimum(menu);
        draw_all(menu);
        break;
      case 'I':
        return leave(state, true);
      case 'Q':
        return leave(state, false);
      default:
        break;
    }
  }
}
