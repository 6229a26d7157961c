// Shows the package menu over seven sample packages, as the CD-ROM flow would, and then the
// menu's answer on the bottom row. Used by the menu screen tests, which drive it in a terminal
// emulator; it waits for one more key (or end of input) before it exits, so the last screen
// can be read.
#include <cstdio>
#include <memory>
#include <vector>

#include "frontend/console.h"
#include "frontend/package_menu.h"
#include "system/output.h"

namespace {

std::unique_ptr<PackageInfo> package(const char* name, std::vector<const char*> depends,
                                      const char* description) {
  auto p = std::make_unique<PackageInfo>();
  p->name = name;
  p->version = 0x03006601;  // 3.0 final, build 1
  for (const char* d : depends) {
    PackageRef r;
    r.name = d;
    p->depends.push_back(r);
  }
  p->description = description;
  return p;
}

}  // namespace

int main() {
  std::vector<std::unique_ptr<PackageInfo>> list;
  list.push_back(package("system", {},
                         "Base system of the router: kernel, libraries, shell and the "
                         "configuration tools that every installation needs."));
  list.push_back(package("ppp", {"system"}, "Point-to-point protocol for dial-up links."));
  list.push_back(package("dhcp", {"system"}, "DHCP server and client."));
  list.push_back(package("extras", {"system"}, ""));
  list.push_back(package("filters", {"system"}, "Packet filters."));
  list.push_back(package("qos", {"shaper"}, "Quality of service presets."));
  list.push_back(package("shaper", {"system", "filters"}, "Traffic shaper."));

  PackageMenu menu;
  for (auto& p : list) menu.packages.push_back(p.get());
  menu.cursor = 0;
  bool install = run_package_menu(menu);

  out_printf("menu returned %s:", install ? "install" : "cancel");
  for (size_t i = 0; i < list.size(); ++i)
    if (menu.selected[i]) out_printf(" %s", list[i]->name.c_str());
  out_flush();
  TerminalState state;
  enter_raw_mode(state);
  read_key();
  restore_terminal(state);
  out_flush();
  return 0;
}
