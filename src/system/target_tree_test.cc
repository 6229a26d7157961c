// The way to an entry of a target, links resolved as if the target were the root directory:
// one table of paths through a tree of links, with the kernel's resolution and with the walk
// in user space.
#include "system/target_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "testing/scratch_root.h"

namespace {

class TargetTree : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    put(host("/flash/usr/lib/x"), "x");
    put(host("/flash/file"), "f");
    put(host("/outside/x"), "outside");  // beside the target: no link may reach it
    for (auto [name, target] : {std::pair{"lib", "usr/lib"}, {"abs", "/usr/lib"},
                                {"up", "../../.."}, {"chain", "lib"}, {"dots", "usr/../usr/lib"},
                                {"loop", "loop"}, {"dangling", "missing"}, {"out", "../outside"},
                                {"host", "/outside"}})
      EXPECT_EQ(symlink(target, host(std::string("/flash/") + name).c_str()), 0) << name;
  }
  void TearDown() override {
    set_link_resolution(LinkResolution::kKernel);
    ScratchRoot::TearDown();
  }

  // The inode at a host path, or 0.
  static ino_t inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
};

TEST_F(TargetTree, LinksResolveInsideTheTarget) {
  struct Case {
    const char* entry;
    const char* lands_on;  // installer path below the root prefix, or null when it fails
    int error;
  } cases[] = {
      {"usr/lib/x", "/flash/usr/lib/x", 0},   {"lib/x", "/flash/usr/lib/x", 0},
      {"abs/x", "/flash/usr/lib/x", 0},       {"up/usr/lib/x", "/flash/usr/lib/x", 0},
      {"chain/x", "/flash/usr/lib/x", 0},     {"dots/x", "/flash/usr/lib/x", 0},
      {"loop/x", nullptr, ELOOP},             {"dangling/x", nullptr, ENOENT},
      {"file/x", nullptr, ENOTDIR},           {"out/x", nullptr, ENOENT},
      {"host/x", nullptr, ENOENT},
  };
  for (LinkResolution how : {LinkResolution::kKernel, LinkResolution::kWalk}) {
    set_link_resolution(how);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.entry) + (how == LinkResolution::kWalk ? " (walk)" : ""));
      EntryPath path;
      ASSERT_TRUE(split_entry_name(c.entry, &path));
      errno = 0;
      DirFd dir = open_parent(Target::flash(), path, false, 0);
      struct stat st;
      if (!c.lands_on) {
        EXPECT_FALSE(dir.ok());
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(stat_entry(Target::flash(), path, &st), -1);
        continue;
      }
      ASSERT_TRUE(dir.ok()) << strerror(errno);
      ASSERT_EQ(fstatat(dir.get(), path.leaf.c_str(), &st, 0), 0);
      EXPECT_EQ(st.st_ino, inode(host(c.lands_on)));
      ASSERT_EQ(stat_entry(Target::flash(), path, &st), 0);
      EXPECT_EQ(st.st_ino, inode(host(c.lands_on)));
    }
    // A link at the end is followed by stat_entry too; one that leads nowhere is absent.
    EntryPath lib{{}, "lib"}, dangling{{}, "dangling"};
    struct stat st;
    ASSERT_EQ(stat_entry(Target::flash(), lib, &st), 0);
    EXPECT_EQ(st.st_ino, inode(host("/flash/usr/lib")));
    EXPECT_EQ(stat_entry(Target::flash(), dangling, &st), -1);
    EXPECT_EQ(errno, ENOENT);
  }
}

TEST_F(TargetTree, MissingDirectoriesAreMadeWhereTheLinksLead) {
  for (LinkResolution how : {LinkResolution::kKernel, LinkResolution::kWalk}) {
    set_link_resolution(how);
    std::string sub = how == LinkResolution::kWalk ? "walk" : "kernel";
    EntryPath path;
    ASSERT_TRUE(split_entry_name("abs/" + sub + "/deeper/y", &path));
    DirFd dir = open_parent(Target::flash(), path, true, 0755);
    ASSERT_TRUE(dir.ok()) << strerror(errno);
    EXPECT_TRUE(exists(host("/flash/usr/lib/" + sub + "/deeper")));
    // A link whose destination is missing is not made good, and nothing appears beside the
    // target.
    ASSERT_TRUE(split_entry_name("dangling/" + sub + "/y", &path));
    EXPECT_FALSE(open_parent(Target::flash(), path, true, 0755).ok());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists(host("/flash/missing")));
    ASSERT_TRUE(split_entry_name("host/" + sub + "/y", &path));
    EXPECT_FALSE(open_parent(Target::flash(), path, true, 0755).ok());
    EXPECT_FALSE(exists(host("/outside/" + sub)));
  }
}

}  // namespace
