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
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "disk/target_disk.h"
#include "frontend/console.h"
#include "router_session.h"
#include "system/output.h"
#include "testing/fake_network.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"
#include "testing/signing.h"
#include "testing/tree_util.h"

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

// Hostile servers: the install server's own core with every reply passed through a mangler
// on its way to the installer. The mangler gets the reply as the core made it and delivers
// what it likes, the reply itself (or a changed one) included.
using Mangler = std::function<void(FakeNetwork&, const std::string& reply)>;

uint16_t field(const std::string& datagram, size_t at) {
  return uint16_t(uint8_t(datagram[at]) | uint8_t(datagram[at + 1]) << 8);
}
std::string payload_of(const std::string& datagram) { return datagram.substr(kHeaderSize); }
// The reply with another payload and the same header fields.
std::string with_payload(const std::string& reply, const std::string& payload) {
  return make_datagram(kServer, kCard, field(reply, 16), field(reply, 18), payload);
}
// The FILE announcement of name changed to name_and_size ("NAME\nSIZE").
Mangler announce(const std::string& name, const std::string& name_and_size) {
  return [=](FakeNetwork& net, const std::string& reply) {
    bool hit = payload_of(reply).rfind("FILE\n" + name + "\n", 0) == 0;
    net.deliver("eth0", hit ? with_payload(reply, "FILE\n" + name_and_size + "\n") : reply, 200);
  };
}

// A package the child refuses does not end the files, and the end says which one; a server
// that hands out no package has installed nothing.
TEST_F(NetworkFlowTest, OnlyEveryPackageInstalledIsASuccess) {
  put(scratch_ + "/srv/beta.kpk", kpk::package_archive(package("beta", "opt/beta"), true));
  table_ = SessionTable(ServerOptions{scratch_ + "/srv", false, "flow test"});
  serve();
  ASSERT_FALSE(run()) << console_;
  const std::string refused = "Writing configuration...\nWriting configuration...\n"
                              "\nERROR: 1 of 2 packages were not installed: beta.kpk\n";
  ASSERT_GT(console_.size(), refused.size());
  EXPECT_EQ(console_.substr(console_.size() - refused.size()), refused) << console_;
  EXPECT_FALSE(exists(host("/flash/opt/beta")));
  EXPECT_EQ(get(host("/flash/opt/alpha")), "alpha\n");
  EXPECT_TRUE(exists(host("/flash/router.scr")));  // the files after it still came
  EXPECT_FALSE(abort_disabled);

  // Ours refuses to start a router it has no package for; another server may answer the first
  // RETR with DONE.
  TearDown();
  SetUp();
  net_.peer = [this](FakeNetwork& net, const FakeNetwork::Sent& s) {
    NetMessage m;
    memcpy(m.bytes, s.bytes.data(), s.bytes.size());
    std::string reply(table_.handle(0, kServer.data(), m, s.bytes.size(), net.elapsed(), log_));
    if (reply.empty()) return;
    if (payload_of(reply).rfind("FILE\nalpha.kpk\n", 0) == 0) reply = with_payload(reply, "DONE\n");
    net.deliver("eth0", reply, 200);
  };
  ASSERT_FALSE(run()) << console_;
  EXPECT_NE(console_.find("\nERROR: the server handed out no package: nothing was installed\n"),
            std::string::npos)
      << console_;
  EXPECT_EQ(console_.find("Software installed."), std::string::npos);
}

struct HostileServer {
  const char* title;
  Mangler mangle;
  bool result;
  std::string tail;  // the console from the disk's preparation on
  std::map<std::string, std::string> target;  // host path -> content; "-" for none there
  std::string outside;  // what changed outside the target (see changed_outside)
  std::string driver = "";  // served instead of the signed driver package when not empty
};

// The driver package's directories and its module in the RAM system. A refused package's
// files are taken back, and so are the directories it made.
const std::string kDriverDirectories =
    "lib/modules lib/modules/6.1.0-test lib/modules/6.1.0-test/kernel "
    "lib/modules/6.1.0-test/kernel/fs lib/modules/6.1.0-test/kernel/fs/ext2";
const std::string kDriver = kDriverDirectories + " lib/modules/6.1.0-test/kernel/fs/ext2/ext2.ko";
const char kAfterDisk[] = "Creating partition...\nFormatting disk...\n\n";
const char kInstalled[] = "\nSoftware installed.\nPress ENTER to reboot";
const std::string kGarbage(kMaxPayload, 'X');
const std::map<std::string, std::string> kEverything = {
    {"/flash/opt/alpha", "alpha\n"}, {"/flash/router.scr", "set name router\n"},
    {"/empty", ""}, {"/flash/CDINSTALL", ""}};

std::vector<HostileServer> hostile_servers() {
  const std::string scripts = "Writing configuration...\nWriting configuration...\n";
  kpk::PackageSpec escaping = package("drv", "lib/modules/6.1.0-test/kernel/fs/ext2/ext2.ko");
  escaping.files.push_back({"../../../escaped", 0100644, 0, 0, 0, false, "out\n"});
  return {
      {"oversized datagrams are dropped, whether their header tells the 4096 bytes that fit "
       "or their whole size",
       [](FakeNetwork& net, const std::string& reply) {
         std::string cut = with_payload(reply, kGarbage) + std::string(904, 'X');
         std::string whole = cut;
         whole[14] = char((cut.size() - kHeaderSize) & 0xFF);
         whole[15] = char((cut.size() - kHeaderSize) >> 8);
         net.deliver("eth0", cut, 100);
         net.deliver("eth0", whole, 150);
         net.deliver("eth0", reply, 200);
       },
       true, scripts + kInstalled, kEverything, "empty " + kDriver},
      {"every reply twice: the second copy is not taken as the next reply",
       [](FakeNetwork& net, const std::string& reply) {
         net.deliver("eth0", reply, 200);
         net.deliver("eth0", reply, 300);
       },
       true, scripts + kInstalled, kEverything, "empty " + kDriver},
      {"reordered: the previous reply and one numbered ahead arrive before each reply",
       [previous = std::make_shared<std::string>()](FakeNetwork& net, const std::string& reply) {
         if (!previous->empty()) net.deliver("eth0", *previous, 100);
         net.deliver("eth0", make_datagram(kServer, kCard, uint16_t(field(reply, 16) + 1),
                                           field(reply, 18), kGarbage), 150);
         net.deliver("eth0", reply, 200);
         *previous = reply;
       },
       true, scripts + kInstalled, kEverything, "empty " + kDriver},
      {"wrongly addressed: to another card, to anyone, from another server, from ourselves, "
       "from another port",
       [](FakeNetwork& net, const std::string& reply) {
         uint16_t seq = field(reply, 16), ack = field(reply, 18);
         const Address other = {2, 0, 0, 0, 0, 2}, stranger = {2, 0, 0, 0, 0, 0x77};
         net.deliver("eth0", make_datagram(kServer, other, seq, ack, kGarbage), 100);
         net.deliver("eth0", make_datagram(kServer, Address{}, seq, ack, kGarbage), 110);
         net.deliver("eth0", make_datagram(stranger, kCard, seq, ack, kGarbage), 120);
         net.deliver("eth0", make_datagram(kCard, kCard, seq, ack, kGarbage), 130);
         net.deliver("eth0", with_payload(reply, kGarbage), 140, 4999);
         net.deliver("eth0", reply, 200);
       },
       true, scripts + kInstalled, kEverything, "empty " + kDriver},
      {"a FILE with a 300-character name is refused, not cut to another name",
       announce("router.scr", std::string(296, 'n') + ".scr\n16"), false,
       "\nFATAL ERROR: bad network connection\n",
       {{"/flash/opt/alpha", "alpha\n"}, {"/flash/router.scr", "-"}, {"/flash/CDINSTALL", "-"}},
       kDriver},
      {"a negative size ends the files", announce("router.scr", "router.scr\n-16"), true,
       kInstalled,
       {{"/flash/opt/alpha", "alpha\n"}, {"/flash/router.scr", "-"}, {"/empty", "-"},
        {"/flash/CDINSTALL", ""}},
       kDriver},
      {"absurd sizes do not limit the transfer, and 2^32 does not become 0",
       [](FakeNetwork& net, const std::string& reply) {
         std::string p = payload_of(reply);
         if (p.rfind("FILE\nalpha.kpk\n", 0) == 0)
           return net.deliver("eth0", with_payload(reply, "FILE\nalpha.kpk\n99999999999999999999\n"), 200);
         if (p.rfind("FILE\nrouter.scr\n", 0) == 0)
           return net.deliver("eth0", with_payload(reply, "FILE\nrouter.scr\n4294967296\n"), 200);
         net.deliver("eth0", reply, 200);
       },
       true, scripts + kInstalled, kEverything, "empty " + kDriver},
      {"names with '..': a package's name is no path; a script's is refused",
       [](FakeNetwork& net, const std::string& reply) {
         std::string p = payload_of(reply);
         if (p.rfind("FILE\nalpha.kpk\n", 0) == 0)
           return net.deliver("eth0", with_payload(reply, "FILE\n../../alpha.kpk\n" + p.substr(15)), 200);
         if (p.rfind("FILE\nrouter.scr\n", 0) == 0)
           return net.deliver("eth0", with_payload(reply, "FILE\n../../outside.scr\n" + p.substr(16)), 200);
         net.deliver("eth0", reply, 200);
       },
       false, "Writing configuration...\n\nFATAL ERROR: couldn't make a file\n",
       {{"/flash/opt/alpha", "alpha\n"}, {"/outside.scr", "-"}, {"/../outside.scr", "-"},
        {"/flash/CDINSTALL", "-"}},
       kDriver},
      {"an unsigned driver package that reaches out of the RAM system is refused: nothing of it "
       "stays, no module is loaded, and the installation goes on",
       [](FakeNetwork& net, const std::string& reply) { net.deliver("eth0", reply, 200); },
       true, scripts + kInstalled, kEverything, "empty",
       kpk::package_archive(escaping, true)},
  };
}

// The paths outside the target (/flash) whose entries differ between two fingerprints of the
// root, one blank between them; left out are the disk (/dev/hda) and the scripted tool's
// table (/dump), which every run changes.
std::string changed_outside(const std::map<std::string, std::string>& before,
                            const std::map<std::string, std::string>& after) {
  std::string paths;
  auto note = [&](const std::string& path) {
    for (const char* expected : {"flash", "dev/hda", "dump"})
      if (path == expected || path.rfind(std::string(expected) + "/", 0) == 0) return;
    paths += (paths.empty() ? "" : " ") + path;
  };
  for (const auto& [path, what] : before) {
    auto it = after.find(path);
    if (it == after.end() || it->second != what) note(path);
  }
  for (const auto& [path, what] : after)
    if (!before.count(path)) note(path);
  return paths;
}

TEST_F(NetworkFlowTest, HostileServers) {
  for (const HostileServer& h : hostile_servers()) {
    SCOPED_TRACE(h.title);
    TearDown();
    net_ = FakeNetwork();
    system_ = FakeSystem();
    log_.clear();
    SetUp();
    if (!h.driver.empty()) put(scratch_ + "/srv/drivers/6.1.0-test.kpk", h.driver);
    auto before = fingerprint(root_, false);
    net_.peer = [this, &h](FakeNetwork& net, const FakeNetwork::Sent& s) {
      NetMessage m;
      memcpy(m.bytes, s.bytes.data(), s.bytes.size());
      std::string_view reply = table_.handle(0, kServer.data(), m, s.bytes.size(), net.elapsed(), log_);
      if (!reply.empty()) h.mangle(net, std::string(reply));
    };
    EXPECT_EQ(run(), h.result) << console_;
    size_t at = console_.find(kAfterDisk);
    ASSERT_NE(at, std::string::npos) << console_;
    EXPECT_EQ(console_.substr(at + strlen(kAfterDisk)), h.tail);
    for (const auto& [path, content] : h.target) {
      EXPECT_EQ(exists(host(path)), content != "-") << path;
      if (content != "-") {
        EXPECT_EQ(get(host(path)), content) << path;
      }
    }
    std::string outside = changed_outside(before, fingerprint(root_, false));
    EXPECT_EQ(outside, h.outside) << outside;
    EXPECT_FALSE(exists(scratch_ + "/outside.scr"));
    EXPECT_FALSE(exists(scratch_ + "/escaped"));
    EXPECT_EQ(system_.modules.size(), h.outside.find("ext2.ko") != std::string::npos ? 1u : 0u);
  }
}

}  // namespace
