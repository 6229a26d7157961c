// The full-screen package selection menu of the local flows: up to three columns of packages
// with a selection mark, a help text and a detail area for the current package. Selecting a
// package selects what it depends on; deselecting one deselects its direct dependants.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "archive/package.h"

// The menu's entries and its selection marks. The packages belong to the calling flow; the
// marks belong to the menu, one per entry, and the flow reads them when the menu returns.
struct PackageMenu {
  std::vector<const PackageInfo*> packages;  // menu order
  std::vector<bool> selected;                // selected[i]: entry i is marked
  unsigned cursor = 0;                       // the current entry; set to 0 before the menu runs
  unsigned rows = 0;                         // entries per column, set when the menu starts
};

// Shows the menu and reads keys until 'i' (returns true: install) or 'q' (false: cancel);
// end of input cancels like 'q'. The menu starts from the minimum selection ("system"
// only); on return selected holds the user's choice for every entry. The console's raw
// state on entry is kept. An empty list returns false without drawing anything.
bool run_package_menu(PackageMenu& menu);

// Prints text wrapped into lines of at most 78 characters, each ending in a blank. Blanks and
// newlines separate words (a run of them counts once); a newline does not break the line. A
// word longer than a line stands on a line of its own.
void print_wrapped(std::string_view text);
// The lines print_wrapped prints (always at least one, empty for a text without words).
std::vector<std::string> wrap_words(std::string_view text);
