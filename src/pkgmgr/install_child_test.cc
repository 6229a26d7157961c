// The installation child as a real process: fed through a pipe, it installs onto the target
// and exits with status 0 unless asked to tell its result; the parent survives whatever
// happens in it.
#include "pkgmgr/install_child.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "archive_writer.h"
#include "pkgmgr/database.h"
#include "pkgmgr/spool.h"
#include "system/child_slot.h"
#include "testing/scratch_root.h"
#include "testing/signing.h"

namespace {

int open_descriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

kpk::PackageSpec package(const std::string& name, uint32_t version = 0x01006600) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = version;
  s.has_files = true;
  kpk::FileEntry f;
  f.name = "opt/" + name;
  f.mode = 0100644;
  f.content = name + "\n";
  s.files.push_back(f);
  return s;
}

class InstallChildTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(make_dirs("/flash/var/pdb"));
  }

  // Feeds an archive to a new child; returns the wait status.
  int feed(const std::string& archive, bool image = true, bool quiet = true) {
    return feed_child(start_install_child(image, quiet), archive);
  }
  int feed_child(FILE* child, const std::string& archive) {
    EXPECT_NE(child, nullptr);
    if (!child) return -1;
    for (size_t at = 0; at < archive.size(); at += 4096) {
      size_t n = std::min<size_t>(4096, archive.size() - at);
      if (fwrite(archive.data() + at, 1, n, child) != n) break;
    }
    return finish_child(child);
  }
  // Runs start (which starts a child and feeds it) with the children's standard output caught;
  // returns what they printed.
  template <typename Start>
  static std::string printed(Start start) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    fflush(stdout);  // what this process has buffered is not the children's
    int saved = dup(1);
    dup2(fds[1], 1);
    close(fds[1]);
    start();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fds[0]);
    return out;
  }
};

TEST_F(InstallChildTest, InstallsThroughAPipeAndExitsZero) {
  int status = feed(signed_archive(package("ppp")));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(get(host("/flash/opt/ppp")), "ppp\n");
  EXPECT_EQ(get(host("/flash/var/pdb/ppp/files")), "opt/ppp\n");
  EXPECT_FALSE(exists(host("/flash/image")));  // the temporary copy is always removed
  EXPECT_FALSE(exists(host("/flash/var/pdb/ppp/image")));  // no image part, no image kept
  EXPECT_EQ(child_slot(), -1);

  // Refused (already installed) and broken archives: still status 0, nothing changes.
  EXPECT_EQ(feed(signed_archive(package("ppp"))), 0);
  EXPECT_EQ(feed("garbage that is no archive"), 0);
  EXPECT_EQ(feed(""), 0);
}

TEST_F(InstallChildTest, KeepsTheImageOfAPackageThatHasOne) {
  kpk::PackageSpec s = package("kernel");
  s.has_image = true;
  s.image = std::string(50000, 'k');
  std::string archive = signed_archive(s);
  ASSERT_EQ(feed(archive), 0);
  EXPECT_EQ(get(host("/flash/var/pdb/kernel/image")), archive);
  EXPECT_FALSE(exists(host("/flash/image")));
  struct stat st;
  ASSERT_EQ(stat(host("/flash/var/pdb/kernel/image").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);
}

TEST_F(InstallChildTest, ImageThatCannotBeCreatedStopsTheInstallation) {
  // The spool has no name: a package's own entry called "image" is never in its way.
  ASSERT_EQ(mkdir(host("/flash/image").c_str(), 0755), 0);
  EXPECT_EQ(feed(signed_archive(package("ppp"))), 0);
  EXPECT_TRUE(exists(host("/flash/opt/ppp")));
  EXPECT_TRUE(exists(host("/flash/image")));

  // Without a target to spool into, nothing is installed, and the whole archive is still read.
  std::filesystem::remove_all(host("/flash"));
  put(host("/flash"), "a file where the target should be");
  int status = -2;
  std::string out = printed([&] { status = feed(signed_archive(package("dhcp")), true, false); });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
  EXPECT_EQ(out, "WARNING: could not open repo\nERROR: could not open image\n");
}

// Where the target cannot make files without a name, the spool is a named file in the database
// directory: the image is kept all the same, and a spool its child left is removed by the next.
TEST_F(InstallChildTest, NamedSpoolWhereFilesWithoutANameCannotBeMade) {
  spool_force_named(true);
  kpk::PackageSpec s = package("kernel");
  s.has_image = true;
  s.image = std::string(5000, 'k');
  std::string archive = signed_archive(s);
  put(host("/flash/var/pdb/.kpk-spool-999999"), "left by a child that died");
  EXPECT_EQ(feed(archive), 0);
  spool_force_named(false);
  EXPECT_EQ(get(host("/flash/var/pdb/kernel/image")), archive);
  for (const auto& e : std::filesystem::directory_iterator(host("/flash/var/pdb")))
    EXPECT_NE(e.path().filename().string().rfind(".kpk-spool-", 0), 0u) << e.path();
}

// Every failure prints one message; an archive without a readable name is named by its file.
TEST_F(InstallChildTest, UnreadableArchivesAreReportedOnce) {
  struct Case {
    std::string archive;
    bool image;
  } cases[] = {{"garbage that is no archive", true}, {"", true},
               {"garbage that is no archive", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.archive.size()) + (c.image ? " image" : " single"));
    // The child may stop reading before the parent's last write (the status is then -1).
    std::string out = printed([&] { feed(c.archive, c.image, false); });
    EXPECT_EQ(out, "ERROR: installation of (unnamed package) failed: broken package\n");
    InstallChildRequest request;
    request.image = c.image;
    request.archive_name = "/floppy/junk.kpk";
    out = printed([&] { feed_child(start_install_child(request), c.archive); });
    EXPECT_EQ(out, "ERROR: installation of /floppy/junk.kpk failed: broken package\n");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
  }
}

TEST_F(InstallChildTest, OneChildAtATime) {
  FILE* first = start_install_child(true, true);
  ASSERT_NE(first, nullptr);
  int before = open_descriptors();
  EXPECT_EQ(start_install_child(true, true), nullptr);
  EXPECT_EQ(open_descriptors(), before);  // no pipe was made for the refused one
  EXPECT_EQ(finish_child(first), 0);
  EXPECT_EQ(finish_child(first), -1);  // nothing recorded any more
}

TEST_F(InstallChildTest, ACrashingChildLeavesTheParentRunning) {
  FILE* child = start_install_child(true, true);
  ASSERT_NE(child, nullptr);
  kill(child_slot(), SIGKILL);
  // Writing into a pipe nobody reads fails instead of killing us with SIGPIPE.
  std::string data(1 << 20, 'x');
  EXPECT_LT(fwrite(data.data(), 1, data.size(), child), data.size());
  int status = finish_child(child);
  EXPECT_TRUE(status == -1 || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) << status;
  EXPECT_EQ(child_slot(), -1);
}

// The flows' handle on a child: finish() tells whether the archive was installed, and a child
// that died makes write() fail for the rest of that archive alone.
TEST_F(InstallChildTest, TheFlowsLearnWhatBecameOfTheirArchive) {
  struct Case {
    std::string archive;
    bool kill_first;
    bool installed;
  } cases[] = {
      {signed_archive(package("good")), false, true},
      {kpk::package_archive(package("unsigned"), false), false, false},
      {std::string(100, 'x'), false, false},
      {signed_archive(package("killed")), true, false},
  };
  for (const Case& c : cases) {
    InstallChildRequest request = InstallChildRequest::onto_target();
    request.quiet = true;
    InstallChild child(request);
    ASSERT_TRUE(child.started());
    if (c.kill_first) kill(child_slot(), SIGKILL);
    std::string data = c.kill_first ? c.archive + std::string(1 << 20, 'x') : c.archive;
    bool written = true;
    for (size_t at = 0; at < data.size() && written; at += 4096)
      written = child.write(data.data() + at, std::min<size_t>(4096, data.size() - at));
    EXPECT_EQ(written, !c.kill_first);
    EXPECT_EQ(child.finish(), c.installed);
    EXPECT_EQ(child_slot(), -1);
  }
  EXPECT_EQ(get(host("/flash/opt/good")), "good\n");
  EXPECT_FALSE(exists(host("/flash/opt/unsigned")));
  InstallChild unfinished(InstallChildRequest::onto_target());  // finished by its destructor
  EXPECT_TRUE(unfinished.started());
}

TEST_F(InstallChildTest, SinglePackageModeInstallsRelativeToTheRoot) {
  EXPECT_EQ(feed(signed_archive(package("drv"), true), false), 0);
  EXPECT_EQ(get(host("/opt/drv")), "drv\n");
  EXPECT_FALSE(exists(host("/flash/opt/drv")));
}

}  // namespace

namespace {

// The bytes a person's terminal receives for one installation, progress bar included.
TEST_F(InstallChildTest, ProgressLineBytesOfOneInstallation) {
  kpk::PackageSpec s = package("ab");
  std::string archive = signed_archive(s);
  ASSERT_EQ(archive.size(), 152u);
  int status = -1;
  std::string out = printed([&] { status = feed(archive, true, false); });
  EXPECT_EQ(status, 0);
  // "installing ab-1.0 [" is 19 characters, so the bar has 57 places. The first drawing
  // stands at the file data's first byte (offset 52 of 152: 57 * 52 / 152 = 19 marks), the
  // second follows the file (the inflater has taken the whole 26-byte part: offset 78, 29
  // marks). Then the empty text blanks the 77 characters, and the note, with no progress
  // line left to erase, just prints.
  std::string bar1 = "installing ab-1.0 [" + std::string(19, '#') + std::string(38, ' ') + "]";
  std::string bar2 = "installing ab-1.0 [" + std::string(29, '#') + std::string(28, ' ') + "]";
  std::string expect = "\x1b[?25l\r" + bar1 + "\r\x1b[?25h" +
                       "\x1b[?25l\r" + bar2 + "\r\x1b[?25h" +
                       "\x1b[?25l\r" + std::string(77, ' ') + "\r\x1b[?25h" +
                       "installed ab-1.0\n";
  EXPECT_EQ(out, expect);

  // An archive that takes longer to arrive is shown while it is read and checked, in steps of
  // 64 KB, before the installation draws its own line.
  kpk::PackageSpec big = package("big");
  std::string noise;
  for (uint32_t x = 1; noise.size() < 300000; x = x * 1103515245u + 12345u) noise += char(x >> 24);
  big.files.back().content = noise;
  std::string lines = printed([&] { status = feed(signed_archive(big), true, false); });
  size_t checking = lines.find("checking big-1.0 [##");
  size_t installing = lines.find("installing big-1.0 [");
  EXPECT_NE(checking, std::string::npos);
  EXPECT_LT(checking, installing);
  const std::string last = "installed big-1.0\n";
  EXPECT_EQ(lines.substr(lines.size() - last.size()), last);
}

}  // namespace
