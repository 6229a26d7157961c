// The whole remote installation on the host: the flow against the install server's own
// protocol core over the fake network, the disk steps with scripted tools in a scratch root,
// the installation children for real. Compares the console text of the whole run and what
// lands on the target.
#include "network/network_flow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <gtest/gtest.h>

#include "disk/target_disk.h"
#include "frontend/console.h"
#include "router_session.h"
#include "system/output.h"
#include "testing/fake_network.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"
#include "testing/signing.h"

namespace {

const Address kCard = {2, 0, 0, 0, 0, 1};
const Address kServer = {2, 0, 0, 0, 0, 0x5E};

kpk::PackageSpec package(const std::string& name, const std::string& path) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = 0x01006600;
  s.has_files = true;
  kpk::FileEntry f;
  f.name = path;
  f.mode = 0100644;
  f.content = name + "\n";
  s.files.push_back(f);
  return s;
}

class NetworkFlowTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    signal(SIGPIPE, SIG_IGN);
    for (const char* dir : {"/flash", "/dev", "/floppy", "/sbin", "/lib"})
      mkdir(host(dir).c_str(), 0755);
    put(host("/dev/null"), "");
    put(host("/dev/tty9"), "");
    put(host("/dev/hda"), std::string(512, '\0'));
    put(host("/floppy/label.txt"), " Lab el\t!\n second line\n");
    tool("/sbin/sfdisk",
         "case \"$1\" in -g) echo '/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track' ;;\n"
         "-d) cat ROOT/dump ;;\n-q) cat > /dev/null; cp ROOT/dump.after ROOT/dump ;;\nesac\n");
    tool("/sbin/mke2fs", "exit 0\n");
    put(host("/dump"), "/dev/hda1 : start=63, size=999999, Id=83, bootable\n"
                       "/dev/hda2 : start=0, size=0, Id= 0\n/dev/hda3 : start=0, size=0, Id= 0\n"
                       "/dev/hda4 : start=0, size=0, Id= 0\n");
    put(host("/dump.after"),
        "/dev/hda1 : start=        63, size=     32067, Id=83, bootable\n"
        "/dev/hda2 : start=     32130, size=  16418430, Id=83\n"
        "/dev/hda3 : start=         0, size=         0, Id= 0\n"
        "/dev/hda4 : start=         0, size=         0, Id= 0\n");
    // The served directory: a driver package with the first storage module, a package and
    // two configuration scripts.
    put(scratch_ + "/srv/drivers/6.1.0-test.kpk",
        signed_archive(package("drv", "lib/modules/6.1.0-test/kernel/fs/ext2/ext2.ko"), true));
    put(scratch_ + "/srv/alpha.kpk", signed_archive(package("alpha", "opt/alpha")));
    put(scratch_ + "/srv/router.scr", "set name router\n");
    put(scratch_ + "/srv/zero.scr", "");
    net_.cards = {{"eth0", kCard}};
    net_.write_proc_net_dev();
    system_.release = "6.1.0-test";
    table_ = SessionTable(ServerOptions{scratch_ + "/srv", false, "flow test"});
  }
  void TearDown() override {
    signal(SIGPIPE, SIG_DFL);
    abort_disabled = 0;
    ScratchRoot::TearDown();
  }
  void tool(const std::string& path, std::string body) {
    for (size_t at; (at = body.find("ROOT")) != std::string::npos;) body.replace(at, 4, root_);
    put(host(path), "#!/bin/sh\n" + body);
    chmod(host(path).c_str(), 0755);
  }
  // Wires the fake network to the server core; after `answers` replies it falls silent.
  void serve(size_t answers = SIZE_MAX) {
    net_.peer = [this, answers](FakeNetwork& net, const FakeNetwork::Sent& s) {
      NetMessage m;
      memcpy(m.bytes, s.bytes.data(), s.bytes.size());
      std::string_view reply =
          table_.handle(0, kServer.data(), m, s.bytes.size(), net.elapsed(), log_);
      if (!reply.empty() && replies_++ < answers) net.deliver("eth0", std::string(reply), 200);
    };
  }
  // Runs the flow with the children's output (they write to descriptor 1) in a file.
  bool run() {
    TargetDisk disk;
    std::string children = scratch_ + "/children";
    fflush(stdout);
    int saved = dup(1);
    int file = open(children.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 1);
    close(file);
    bool result = false;
    {
      OutputCapture capture;
      try {
        result = install_from_network(system_, net_, disk);
      } catch (const FakeNetwork::OutOfTime&) {
        ADD_FAILURE() << "the flow was still waiting after " << net_.time_limit << " us";
      }
      console_ = capture.text();
    }
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    children_ = get(children);
    return result;
  }

  FakeNetwork net_;
  FakeSystem system_;
  SessionTable table_{ServerOptions{}};
  std::vector<std::string> log_;
  size_t replies_ = 0;
  std::string console_, children_;
};

const char kBanner[] =
    "\033[?25l\033[2J\033[HWelcome to Quovalen Router Software remote installation\n"
    "Press Ctrl-Alt-Delete to abort\n";

TEST_F(NetworkFlowTest, InstallsEverythingTheServerHandsOut) {
  table_ = SessionTable(ServerOptions{scratch_ + "/srv", true, "flow test"});
  serve();
  ASSERT_TRUE(run()) << console_;
  EXPECT_EQ(console_, std::string(kBanner) +
                          "\nmac-address: 02:00:00:00:00:01\n"
                          "\nWaiting for drivers...\nRetrieving drivers...\nLoading drivers\n"
                          "\nLooking for harddrives...\n\nFound harddrive as IDE Primary master (disk C)\n"
                          "disk label: Label!\n"
                          "\nWaiting for installation server...\n"
                          "Found server at 02:00:00:00:00:5E\n\n"
                          "Creating partition...\nFormatting disk...\n"
                          "\n"
                          "Writing configuration...\nWriting configuration...\n"
                          "\nSoftware installed.\nPress ENTER to reboot");
  EXPECT_EQ(system_.modules.size(), 1u);  // the driver package brought the first module
  EXPECT_EQ(get(host("/lib/modules/6.1.0-test/kernel/fs/ext2/ext2.ko")), "drv\n");
  EXPECT_EQ(get(host("/flash/opt/alpha")), "alpha\n");
  EXPECT_TRUE(exists(host("/flash/var/pdb/alpha")));
  EXPECT_EQ(get(host("/flash/router.scr")), "set name router\n");
  EXPECT_TRUE(exists(host("/empty")));  // a script announced with size 0 goes there
  EXPECT_FALSE(exists(host("/flash/zero.scr")));
  EXPECT_TRUE(exists(host("/flash/CDINSTALL")));
  EXPECT_TRUE(abort_disabled);
  ASSERT_FALSE(log_.empty());
  EXPECT_NE(log_.back().find("(Label!) finished: 3 files"), std::string::npos) << log_.back();
}

TEST_F(NetworkFlowTest, AServerThatFallsSilentIsAFailureNotTheEndOfTheFiles) {
  serve(6);  // OFDR, the driver file (3), OFFR, YACK's answer; then STRT goes unanswered
  ASSERT_FALSE(run());
  EXPECT_NE(console_.find("\n\nFATAL ERROR: server refused to install\n"), std::string::npos) << console_;
  net_ = FakeNetwork();
  net_.cards = {{"eth0", kCard}};
  table_ = SessionTable(ServerOptions{scratch_ + "/srv", false, "flow test"});
  replies_ = 0;
  serve(8);  // ... STRT's answer and the first FILE; its data never comes
  ASSERT_FALSE(run());
  const std::string tail = "Formatting disk...\n\n\nFATAL ERROR: bad network connection\n";
  ASSERT_GT(console_.size(), tail.size());
  EXPECT_EQ(console_.substr(console_.size() - tail.size()), tail);
  EXPECT_EQ(console_.find("Software installed."), std::string::npos);
  EXPECT_FALSE(exists(host("/flash/CDINSTALL")));
}

TEST_F(NetworkFlowTest, NoCardNoInstallation) {
  net_.cards.clear();
  ASSERT_FALSE(run());
  EXPECT_EQ(console_, std::string(kBanner) + "\nFATAL ERROR: no network card found\n");
}

}  // namespace
