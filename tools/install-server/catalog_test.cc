// The served directory as the operator fills it: what is handed out, in which order, what is
// warned about, the routers' own directories, and a directory that changes while serving.
#include "catalog.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>

#include "router_session.h"
#include "testing/signing.h"

namespace {

namespace fs = std::filesystem;

std::string archive(const std::string& name, uint32_t version, std::vector<PackageRef> depends = {},
                    bool sign = true) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = version;
  s.depends = std::move(depends);
  s.has_files = true;
  s.files = {{"etc/" + name, 0100644, 0, 0, 0, false, name}};
  return sign ? signed_archive(s) : kpk::package_archive(s, false);
}

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kest-catalog-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void put(const std::string& name, const std::string& bytes) {
    fs::create_directories(fs::path(dir_ + "/" + name).parent_path());
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }
  std::string names(const std::vector<CatalogEntry>& list) {
    std::string out;
    for (const CatalogEntry& e : list) {
      std::string where = e.path.substr(dir_.size() + 1);
      out += (out.empty() ? "" : " ") + (where == e.name ? e.name : e.name + "<" + where);
    }
    return out;
  }
  std::string dir_;
};

TEST_F(CatalogTest, WhatIsServedAndWhatIsWarnedAbout) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    std::string common;
    std::vector<std::string> warnings;
  };
  std::string base = archive("base", 0x01000000), web = archive("web", 0x01000000, {{"base", 0, 0, 0}});
  std::vector<Case> cases = {
      {"dependencies first, scripts last", {{"a-web.kpk", web}, {"z-base.kpk", base}, {"s.scr", "x"}},
       "z-base.kpk a-web.kpk s.scr", {}},
      {"an archive that cannot be read is served last and named",
       {{"base.kpk", base}, {"cut.kpk", base.substr(0, 40)}},
       "base.kpk cut.kpk", {"cannot read the package, served last: cut.kpk"}},
      {"an unsigned package is named",
       {{"base.kpk", archive("base", 0x01000000, {}, false)}},
       "base.kpk", {"not genuine for this installer (it will refuse it): base.kpk"}},
      {"two archives of one package: the newer is served, both named",
       {{"base-1.kpk", base}, {"base-2.kpk", archive("base", 0x02000000)}},
       "base-2.kpk", {"two archives of package base: base-2.kpk is served, not base-1.kpk"}},
      {"names the installer cannot take",
       {{"base.kpk", base}, {std::string(32, 's') + ".scr", "x"}, {"b\x01.scr", "x"}, {".h.scr", "x"}},
       "base.kpk",
       {"name with control characters, left out",
        "name too long for the installer, left out: " + std::string(32, 's') + ".scr"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (auto& [name, bytes] : c.files) put(name, bytes);
    Catalog catalog;
    std::vector<std::string> warnings;
    ASSERT_TRUE(read_catalog(dir_, catalog, &warnings));
    EXPECT_EQ(names(catalog.common), c.common);
    EXPECT_EQ(warnings, c.warnings);
  }
}

TEST_F(CatalogTest, ARoutersOwnDirectoryTakesThePlaceOfTheCommonFiles) {
  put("base.kpk", archive("base", 0x01000000));
  put("web.kpk", archive("web", 0x01000000, {{"base", 0, 0, 0}}));
  put("setup.scr", "common");
  put("other.scr", "common");
  put("hosts/02:00:00:00:01:01/setup.scr", "own");
  put("hosts/02:00:00:00:01:01/web-2.kpk", archive("web", 0x02000000, {{"base", 0, 0, 0}}));
  put("hosts/02:00:00:00:01:02/.keep", "");
  put("hosts/02:00:00:00:01:0a/setup.scr", "lower case");
  Catalog catalog;
  std::vector<std::string> warnings;
  ASSERT_TRUE(read_catalog(dir_, catalog, &warnings));
  EXPECT_EQ(names(catalog.files_for("02:00:00:00:01:01")),
            "base.kpk web-2.kpk<hosts/02:00:00:00:01:01/web-2.kpk other.scr "
            "setup.scr<hosts/02:00:00:00:01:01/setup.scr");
  EXPECT_EQ(names(catalog.files_for("02:00:00:00:01:02")), names(catalog.common));
  EXPECT_EQ(names(catalog.files_for("02:00:00:00:01:03")), "base.kpk web.kpk other.scr setup.scr");
  EXPECT_EQ(warnings, std::vector<std::string>{
                          "hosts/02:00:00:00:01:0a is not named by a hardware address as "
                          "AA:BB:CC:DD:EE:FF, ignored"});
}

TEST_F(CatalogTest, WhetherAServerMayStart) {
  std::string why;
  EXPECT_FALSE(catalog_can_serve(dir_ + "/none", &why));
  EXPECT_EQ(why, dir_ + "/none is not a directory");
  EXPECT_FALSE(catalog_can_serve(dir_, &why));
  EXPECT_EQ(why, dir_ + " holds no package archive (*.kpk) that can be read");
  put("setup.scr", "x");
  put("cut.kpk", "KPK");
  EXPECT_FALSE(catalog_can_serve(dir_, &why));
  put("base.kpk", archive("base", 0x01000000));
  EXPECT_TRUE(catalog_can_serve(dir_, &why));
}

TEST_F(CatalogTest, ADirectoryThatChangesIsReadAgainOnceItHasSettled) {
  put("base.kpk", archive("base", 0x01000000));
  SessionTable table(ServerOptions{dir_, false, "t"});
  std::vector<std::string> log;
  table.refresh_catalog_if_changed(log);
  EXPECT_TRUE(log.empty());
  put("new.scr", "x");
  table.refresh_catalog_if_changed(log);  // changed: waits for it to settle
  EXPECT_EQ(table.catalog().size(), 1u);
  table.refresh_catalog_if_changed(log);
  EXPECT_EQ(names(table.catalog()), "base.kpk new.scr");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "read " + dir_ + " again: 2 files, 1 packages");
  // A script rewritten in place, same size, is noticed by its time.
  struct utimbuf times = {1000, 1000};
  utime((dir_ + "/new.scr").c_str(), &times);
  log.clear();
  table.refresh_catalog_if_changed(log);
  table.refresh_catalog_if_changed(log);
  EXPECT_EQ(log.size(), 1u);
  // A directory that goes away leaves the catalog as it was.
  fs::rename(dir_, dir_ + ".away");
  log.clear();
  table.refresh_catalog_if_changed(log);
  table.refresh_catalog_if_changed(log);
  fs::rename(dir_ + ".away", dir_);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("the routers are served what was there before"), std::string::npos);
  EXPECT_EQ(names(table.catalog()), "base.kpk new.scr");
}

}  // namespace
