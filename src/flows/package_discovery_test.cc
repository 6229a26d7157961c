// Package discovery over media laid out in a scratch root: which entries count, the menu
// order, the two fatal messages, and the install list the package manager orders.
#include "flows/package_discovery.h"

#include <sys/stat.h>

#include <map>

#include <gtest/gtest.h>

#include "archive_writer.h"
#include "pkgmgr/version.h"
#include "system/output.h"
#include "testing/scratch_dir.h"
#include "testing/scratch_root.h"

namespace {

kpk::PackageSpec spec(const std::string& name, uint32_t version = 0x01006600,
                      std::vector<std::string> depends = {}) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = version;
  for (const auto& d : depends) s.depends.push_back(PackageRef{d, 0, 0, 0});
  return s;
}
std::string archive(const kpk::PackageSpec& s) { return kpk::package_archive(s, false); }

const std::string kDirectory = "<directory>";

struct Case {
  const char* title;
  std::map<std::string, std::string> medium;  // file name -> bytes (kDirectory: a directory)
  bool has_medium;
  bool result;
  std::string menu;     // names in menu order
  std::string console;  // everything printed
  std::string install;  // labels in installation order, after selecting every package
};

std::vector<Case> cases() {
  std::string truncated = archive(spec("ppp"));
  truncated.pop_back();
  return {
      {"names come from the archives; system first, dhcp third, no ppp",
       {{"a.kpk", archive(spec("shaper", 0x01006600, {"extras"}))},
        {"b.kpk", archive(spec("system"))},
        {"c.kpk", archive(spec("dhcp", 0x01006600, {"system"}))},
        {"d.kpk", archive(spec("extras"))},
        {"README", "not a package"}},
       true, true, "system extras dhcp shaper ", "",
       "extras-1.0 shaper-1.0 system-1.0 dhcp-1.0 "},
      {"without system ppp still takes position 1; a short list takes dhcp at its end",
       {{"1.kpk", archive(spec("ppp"))}, {"2.kpk", archive(spec("dhcp"))}},
       true, true, "ppp dhcp ", "", "dhcp-1.0 ppp-1.0 "},
      {"dependencies are installed first; the leading names are not",
       {{"s.kpk", archive(spec("system", 0x01006600, {"zlib"}))},
        {"z.kpk", archive(spec("zlib"))},
        {"p.kpk", archive(spec("ppp"))}},
       true, true, "system ppp zlib ", "", "zlib-1.0 ppp-1.0 system-1.0 "},
      {"the upper-case extension is no candidate, a bare .kpk is",
       {{"X.KPK", archive(spec("system"))}, {".kpk", archive(spec("ppp"))},
        {"kpk", archive(spec("dhcp"))}},
       true, true, "ppp ", "", "ppp-1.0 "},
      {"two versions are both listed; the install list keeps the newer",
       {{"old.kpk", archive(spec("ppp", 0x01006600))},
        {"new.kpk", archive(spec("ppp", 0x02006600))}},
       true, true, "ppp ppp ",
       "WARNING: omitting package ppp-1.0: newer package is already provided\n", "ppp-2.0 "},
      {"no candidate at all", {{"notes.txt", "x"}, {"KPK", "x"}}, true, false, "",
       "FATAL ERROR: No packages found\n", ""},
      {"no medium directory", {}, false, false, "", "FATAL ERROR: No packages found\n", ""},
      {"a directory named like an archive is read and fails",
       {{"extras.kpk", kDirectory}}, true, false, "", "FATAL ERROR: Bad package -0.0\n", ""},
      {"an archive one byte short fails its size check",
       {{"ppp.kpk", truncated}}, true, false, "", "FATAL ERROR: Bad package -0.0\n", ""},
      {"an archive that is not one", {{"x.kpk", "garbage, no archive header"}}, true, false,
       "", "FATAL ERROR: Bad package -0.0\n", ""},
  };
}

class PackageDiscovery : public ScratchRoot {};

TEST_F(PackageDiscovery, MediaAndTheirLists) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.title);
    std::string medium = host("/floppy");
    if (exists(medium)) remove_tree(medium);
    if (c.has_medium) {
      ASSERT_EQ(mkdir(medium.c_str(), 0755), 0);
    }
    for (const auto& [name, bytes] : c.medium) {
      if (bytes == kDirectory)
        ASSERT_EQ(mkdir((medium + "/" + name).c_str(), 0755), 0);
      else
        put(medium + "/" + name, bytes);
    }

    PackageList list;
    InstallList install;
    OutputCapture console;
    bool result = discover_packages(list);
    if (result) {
      for (auto& p : list) p->selected = true;
      build_install_list(list, install);
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(console.text(), c.console);
    std::string menu, order;
    if (result) {
      for (LocalPackage* p : menu_entries(list)) menu += p->name + " ";
    }
    for (LocalPackage* p : install) order += package_label(*p) + " ";
    EXPECT_EQ(menu, c.menu);
    EXPECT_EQ(order, c.install);
  }
}

}  // namespace
