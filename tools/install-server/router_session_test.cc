// The install server's protocol core against the installer's own network code, connected
// through the fake network in simulated time: every reply the server makes is what the
// installer gets, except those the test loses on purpose.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <fstream>

#include "network/discovery.h"
#include "network/file_transfer.h"
#include "network/net_context.h"
#include "router_session.h"
#include "system/root.h"
#include "testing/fake_network.h"
#include "testing/signing.h"

namespace {

namespace fs = std::filesystem;
const Address kServer = {2, 0, 0, 0, 0, 0x5E};

// A genuine archive of one package (signed with the development key).
std::string package(const std::string& name, uint32_t version = 0x01000000,
                    std::vector<PackageRef> depends = {}) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = version;
  s.depends = std::move(depends);
  s.has_files = true;
  s.files = {{"etc/" + name, 0100644, 0, 0, 0, false, name}};
  return signed_archive(s);
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kest-server-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    set_root_prefix(dir_ + "/root");
    base_ = package("base");
    put("srv/base.kpk", base_);
    put("srv/b.scr", std::string(5000, 'b'));
    put("srv/a.scr", "");
    put("srv/c.scr", std::string(8152, 'c'));  // exactly two blocks
    put("srv/drivers/6.1.kpk", std::string(300, 'd'));
    put("srv/.hidden.scr", "x");
    put("srv/notes.txt", "x");
  }
  void TearDown() override {
    set_root_prefix("");
    fs::remove_all(dir_);
  }
  void put(const std::string& name, const std::string& bytes) {
    fs::create_directories(fs::path(dir_ + "/" + name).parent_path());
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }

  // An installer with one card, wired to the server; every lose_every-th datagram in either
  // direction is lost.
  struct Installer {
    FakeNetwork net;
    std::unique_ptr<NetContext> context;
    int count = 0;
  };
  std::unique_ptr<Installer> installer(uint8_t id, int lose_every) {
    auto in = std::make_unique<Installer>();
    in->net.cards = {{"eth0", {2, 0, 0, 0, 1, id}}};
    in->net.write_proc_net_dev();
    Installer* p = in.get();
    in->net.peer = [this, p, lose_every](FakeNetwork& net, const FakeNetwork::Sent& s) {
      if (lose_every && ++p->count % lose_every == 0) return;  // the request is lost
      NetMessage m;
      memcpy(m.bytes, s.bytes.data(), s.bytes.size());
      std::string_view reply =
          table_.handle(0, kServer.data(), m, s.bytes.size(), base_time_ + net.elapsed(), log_);
      if (reply.empty() || (lose_every && ++p->count % lose_every == 0)) return;  // reply lost
      net.deliver("eth0", std::string(reply), 150);
    };
    in->context = std::make_unique<NetContext>(in->net);
    EXPECT_TRUE(bring_up_interfaces(in->net, in->context->interfaces));
    return in;
  }

  // Fetches the next file into text; false at the end of the files.
  static bool next(NetContext& c, std::string& name, std::string& text) {
    c.transfer = std::make_unique<FileTransfer>(*c.selected_interface(), c.session);
    NextFile r = open_next_file(*c.transfer);
    EXPECT_NE(r, NextFile::Failed);
    if (r != NextFile::Opened) return false;
    name = c.transfer->name;
    text.clear();
    char buffer[4096];
    int n;
    while ((n = read_file_data(*c.transfer, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
    EXPECT_EQ(n, 0);
    return true;
  }

  // Sends raw bytes to the server's card 0 at time now; the reply, "" for none.
  std::string ask(const std::string& bytes, uint64_t now = 0, size_t size = SIZE_MAX) {
    NetMessage m;
    memcpy(m.bytes, bytes.data(), std::min(bytes.size(), kMaxMessage));
    return std::string(table_.handle(0, kServer.data(), m, std::min(size, bytes.size()), now, log_));
  }

  // A whole installation by the installer's own code: every file of the server's list, in
  // order, with its bytes.
  void expect_served(uint8_t id) {
    auto in = installer(id, 0);
    EXPECT_FALSE(discover_server(*in->context, "real"));
    ASSERT_TRUE(request_start(*in->context));
    std::vector<std::string> got, want;
    std::string name, text;
    while (next(*in->context, name, text)) got.push_back(name + ":" + text);
    for (const CatalogEntry& e : table_.catalog()) {
      std::ifstream f(e.path, std::ios::binary);
      want.push_back(e.name + ":" + std::string(std::istreambuf_iterator<char>(f), {}));
    }
    EXPECT_EQ(got, want);
    wait_for_termination(*in->context);
  }

  std::string dir_, base_;
  uint64_t base_time_ = 0;  // the server's clock when an installer's fake clock starts
  std::vector<std::string> log_;
  SessionTable table_{ServerOptions{"", true, "test server"}};
};

TEST_F(ServerTest, TwoInstallersInterleavedWithLossGetEveryFileOnce) {
  table_ = SessionTable(ServerOptions{dir_ + "/srv", true, "test server"});
  auto one = installer(1, 5), two = installer(2, 7);
  find_driver_server(*one->context, "6.1");
  std::string name, text;
  ASSERT_TRUE(next(*one->context, name, text));
  EXPECT_EQ(name, "6.1.kpk");
  EXPECT_EQ(text, std::string(300, 'd'));

  EXPECT_TRUE(discover_server(*one->context, "one"));
  EXPECT_TRUE(discover_server(*two->context, "two"));
  ASSERT_TRUE(request_start(*one->context));
  ASSERT_TRUE(next(*one->context, name, text));
  EXPECT_EQ(name, "base.kpk");
  EXPECT_EQ(text, base_);
  ASSERT_TRUE(request_start(*two->context));
  std::vector<std::string> got;
  while (next(*two->context, name, text)) got.push_back(name + ":" + std::to_string(text.size()));
  while (next(*one->context, name, text)) got.push_back(name + ":" + std::to_string(text.size()));
  std::string base = "base.kpk:" + std::to_string(base_.size());
  EXPECT_EQ(got, (std::vector<std::string>{base, "a.scr:0", "b.scr:5000", "c.scr:8152", "a.scr:0",
                                           "b.scr:5000", "c.scr:8152"}));
  wait_for_termination(*one->context);
  wait_for_termination(*two->context);
  // Losses happened and were made good by sending the same request again.
  int repeats = 0;
  for (size_t i = 1; i < one->net.sent.size(); ++i)
    repeats += one->net.sent[i].bytes == one->net.sent[i - 1].bytes;
  EXPECT_GT(repeats, 3);
  std::string all;
  for (auto& line : log_) all += line + "\n";
  std::string bytes = std::to_string(13152 + base_.size()) + " bytes";
  EXPECT_NE(all.find("02:00:00:00:01:01 (one) finished: 4 files, " + bytes), std::string::npos) << all;
  EXPECT_NE(all.find("02:00:00:00:01:02 (two) finished: 4 files, " + bytes), std::string::npos) << all;
  EXPECT_NE(all.find("(driver 6.1) driver sent: 6.1.kpk, 300 bytes"), std::string::npos) << all;
}

TEST_F(ServerTest, OnlyDatagramsOfTheSessionAreAnswered) {
  table_ = SessionTable(ServerOptions{dir_ + "/srv", false, "test server"});
  const Address router = {2, 0, 0, 0, 1, 9}, other = {2, 0, 0, 0, 1, 8};
  auto ask = [&](const std::string& bytes) {
    NetMessage m;
    memcpy(m.bytes, bytes.data(), bytes.size());
    return std::string(table_.handle(0, kServer.data(), m, bytes.size(), 0, log_));
  };
  std::string offer = ask(make_datagram(router, {}, 1, 0, std::string("DSCV\n\n\nlab el\ni386\n\0", 19)));
  EXPECT_EQ(offer, make_datagram(kServer, router, 1, 0, "OFFR\ntest server\n"));
  EXPECT_EQ(table_.sessions().begin()->second.label, "label");
  EXPECT_EQ(ask(make_datagram(router, {}, 2, 0, "DSCV\n")), "");          // sequence 2 to anyone
  EXPECT_EQ(ask(make_datagram(other, kServer, 1, 1, "YACK\n")), "");      // no session
  EXPECT_EQ(ask(make_datagram(router, other, 1, 1, "YACK\n")), "");       // not to us
  EXPECT_EQ(ask(make_datagram(router, kServer, 1, 2, "YACK\n")), "");     // acknowledges too much
  EXPECT_EQ(ask(make_datagram(router, kServer, 1, 1, "YACK\n", 9)), "");  // length lie
  std::string ok = ask(make_datagram(router, kServer, 1, 1, "YACK\n"));
  EXPECT_EQ(ok, make_datagram(kServer, router, 2, 1, "OK\n"));
  EXPECT_EQ(ask(make_datagram(router, kServer, 2, 2, "RETR")), make_datagram(kServer, router, 3, 2, "ERR\n"));
  ask(make_datagram(router, kServer, 3, 3, "STRT"));
  EXPECT_EQ(ask(make_datagram(router, kServer, 4, 4, "RETR")),
            make_datagram(kServer, router, 5, 4, "FILE\nbase.kpk\n" + std::to_string(base_.size()) + "\n"));
  ASSERT_LT(base_.size(), kFrameBlock);
  EXPECT_EQ(ask(make_datagram(router, kServer, 5, 5, "RETR")), make_datagram(kServer, router, 6, 5, base_));
  EXPECT_EQ(ask(make_datagram(router, kServer, 6, 6, "RETR")), make_datagram(kServer, router, 7, 6, ""));
  std::string file = ask(make_datagram(router, kServer, 7, 7, "RETR"));
  EXPECT_EQ(file, make_datagram(kServer, router, 8, 7, "FILE\na.scr\n0\n"));
  // The same request again: the same reply, and the transfer stays where it was.
  EXPECT_EQ(ask(make_datagram(router, kServer, 7, 7, "RETR")), file);
  EXPECT_EQ(ask(make_datagram(router, kServer, 8, 8, "RETR")), make_datagram(kServer, router, 9, 8, ""));
  EXPECT_EQ(ask(make_datagram(router, kServer, 9, 9, "RETR")),
            make_datagram(kServer, router, 10, 9, "FILE\nb.scr\n5000\n"));
  // A driver request for a release that is not a plain name, or has no package, is not answered.
  EXPECT_EQ(ask(make_datagram(other, {}, 1, 0, std::string("DRVR\n../6.1\0", 12))), "");
  EXPECT_EQ(ask(make_datagram(other, {}, 1, 0, std::string("DRVR\n7.0\0", 9))), "");
  EXPECT_EQ(ask(make_datagram(other, {}, 1, 0, std::string("DRVR\n6.1\0", 9))),
            make_datagram(kServer, other, 1, 0, "OFDR\n"));
}

int open_descriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

Address made_up(int n) { return {2, 0, 0, 0xAA, uint8_t(n >> 8), uint8_t(n)}; }

// What hostile devices on the LAN do, each case followed by a real installation.
TEST_F(ServerTest, HostileDatagramsLeaveRealRoutersServedWithinTheLimits) {
  const Address spy = {2, 0, 0, 0, 1, 0x66};
  // A session of spy's, advanced to state (0 offered, 1 confirmed, 2 sending, 3 files sent,
  // 4 finished) by well-formed requests; returns the next sequence number.
  auto session_in = [&](int state) {
    ask(make_datagram(spy, {}, 1, 0, "DSCV\n\n\nspy\ni386\n"));
    uint16_t seq = 1;
    if (state >= 1) ask(make_datagram(spy, kServer, seq, seq, "YACK\n")), ++seq;
    if (state >= 2) ask(make_datagram(spy, kServer, seq, seq, "STRT")), ++seq;
    if (state >= 3)
      for (int i = 0; i < 40 && table_.sessions().begin()->second.state != RouterState::Done; ++i)
        ask(make_datagram(spy, kServer, seq, seq, "RETR")), ++seq;
    if (state >= 4) ask(make_datagram(spy, kServer, seq, seq, "WTRM")), ++seq;
    return seq;
  };
  const std::vector<std::string> junk = {"", "D", "DRV", "RETX", std::string(kMaxPayload, '\xff'),
                                         std::string("YACK\0\n", 6), "\n\n\n\n", "FILE\n..\n-1\n"};
  struct Case {
    const char* what;
    std::function<void()> act;
  };
  std::vector<Case> cases = {
      {"a driver request of four letters, and with every tail", [&] {
         for (const std::string& tail : std::vector<std::string>{
                  "", "\n", std::string("\n\0", 2), "\n../../etc", std::string(4000, 'k')})
           EXPECT_EQ(ask(make_datagram(spy, {}, 1, 0, "DRVR" + tail)), "");
       }},
      {"announcements cut short or oversized", [&] {
         for (const std::string& j : junk) ask(make_datagram(made_up(1), {}, 1, 0, "DSCV" + j));
         EXPECT_EQ(table_.sessions().size(), 1u);  // the same router each time
       }},
      {"headers that lie about the size", [&] {
         std::string d = make_datagram(spy, {}, 1, 0, "DSCV\n\n\nx\n");
         EXPECT_EQ(ask(d, 0, 19), "");
         EXPECT_EQ(ask(make_datagram(spy, {}, 1, 0, "DSCV\n", 4076)), "");
         EXPECT_EQ(ask(make_datagram(spy, {}, 1, 0, "DSCV\n", 0)), "");
         EXPECT_EQ(ask(std::string(kMaxMessage, '\xff')), "");
         EXPECT_EQ(ask(std::string(kMaxMessage, '\0')), "");
       }},
      {"every state, with junk in the session's own sequence", [&] {
         for (int state = 0; state <= 4; ++state)
           for (const std::string& j : junk) {
             uint16_t seq = session_in(state);
             std::string reply = ask(make_datagram(spy, kServer, seq, seq, j));
             // Junk is never taken for a request to move on: no file comes of it.
             EXPECT_EQ(reply.find("FILE"), std::string::npos) << state;
           }
       }},
      {"requests in the name of sessions that are not there", [&] {
         for (int i = 0; i < 300; ++i)
           EXPECT_EQ(ask(make_datagram(made_up(i), kServer, uint16_t(i), 1, "RETR")), "");
       }},
      {"a flood of announcements from 5000 addresses", [&] {
         for (int i = 0; i < 5000; ++i) ask(make_datagram(made_up(i), {}, 1, 0, "DSCV\n\n\nx\ni386\n"));
       }},
      {"a flood of driver requests from 5000 addresses for as many kernels", [&] {
         for (int i = 0; i < 5000; ++i)
           ask(make_datagram(made_up(i), {}, 1, 0, "DRVR\n" + std::to_string(i) + std::string(1, '\0')));
         ask(make_datagram(spy, {}, 1, 0, std::string("DRVR\n6.1\0", 9)));
       }},
      {"routers that start and never finish, then fall silent", [&] {
         for (int i = 0; i < 8; ++i) {
           Address a = made_up(i);
           ask(make_datagram(a, {}, 1, 0, "DSCV\n\n\nx\ni386\n"));
           ask(make_datagram(a, kServer, 1, 1, "YACK\n"));
           ask(make_datagram(a, kServer, 2, 2, "STRT"));
           ask(make_datagram(a, kServer, 3, 3, "RETR"));
           ask(make_datagram(a, kServer, 4, 4, "RETR"));
         }
         EXPECT_EQ(table_.open_files(), 2u);
         table_.expire(SessionTable::kSilence + 1, log_);
         EXPECT_EQ(table_.open_files(), 0u);  // closed when they time out
         base_time_ = SessionTable::kSilence + 2;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServerOptions options{dir_ + "/srv", false, "test server"};
    options.max_sessions = 8;
    options.max_open_files = 2;
    table_ = SessionTable(options);
    base_time_ = 0;
    log_.clear();
    int fds = open_descriptors();
    c.act();
    EXPECT_LE(table_.sessions().size(), 8u);
    EXPECT_LE(table_.open_files(), 2u);
    EXPECT_LE(open_descriptors(), fds + 2);
    expect_served(1);
    expect_served(2);
    EXPECT_LE(table_.sessions().size(), 8u);
    EXPECT_LE(open_descriptors(), fds + 2);
    // Floods are summed up, not logged datagram by datagram.
    table_.expire(base_time_ + 60000000, log_);
    EXPECT_LT(log_.size(), SessionTable::kLinesPerPeriod + 20);
    std::string all;
    for (auto& line : log_) all += line + "\n";
    EXPECT_NE(all.find("(real) finished: 4 files"), std::string::npos) << all;
  }
}

TEST_F(ServerTest, RoutersTransferringAreNotPushedOutByNewAddresses) {
  ServerOptions options{dir_ + "/srv", false, "test server"};
  options.max_sessions = 4;
  table_ = SessionTable(options);
  const Address busy = {2, 0, 0, 0, 1, 0x42};
  ask(make_datagram(busy, {}, 1, 0, "DSCV\n\n\nbusy\ni386\n"));
  ask(make_datagram(busy, kServer, 1, 1, "YACK\n"));
  ask(make_datagram(busy, kServer, 2, 2, "STRT"));
  uint16_t seq = 3;
  for (int i = 0; i < 263; ++i) {
    // Between two of its requests, a thousand new addresses.
    for (int j = 0; j < 1000; ++j)
      ask(make_datagram(made_up(i * 1000 + j), {}, 1, 0, "DSCV\n"), uint64_t(i) * 1000);
    EXPECT_NE(ask(make_datagram(busy, kServer, seq, seq, "RETR"), uint64_t(i) * 1000), "") << i;
    ++seq;
    ASSERT_LE(table_.sessions().size(), 4u);
  }
  table_.expire(SessionTable::kSummaryPeriod, log_);
  std::string all;
  for (auto& line : log_) all += line + "\n";
  EXPECT_NE(all.find("sessions forgotten to make room"), std::string::npos) << all;
}

TEST_F(ServerTest, AFileThatCannotBeOpenedFailsTheRouterNotTheList) {
  table_ = SessionTable(ServerOptions{dir_ + "/srv", false, "test server"});
  fs::remove(dir_ + "/srv/b.scr");
  auto in = installer(1, 0);
  discover_server(*in->context, "lab");
  ASSERT_TRUE(request_start(*in->context));
  std::vector<std::string> got;
  NextFile r;
  for (;;) {
    in->context->transfer = std::make_unique<FileTransfer>(*in->context->selected_interface(),
                                                           in->context->session);
    r = open_next_file(*in->context->transfer);
    if (r != NextFile::Opened) break;
    got.push_back(in->context->transfer->name);
    char buffer[4096];
    while (read_file_data(*in->context->transfer, buffer, sizeof buffer) > 0) {
    }
  }
  // The router is not told that the files ended: its transfer fails.
  EXPECT_EQ(r, NextFile::Failed);
  EXPECT_EQ(got, (std::vector<std::string>{"base.kpk", "a.scr"}));
  std::string all;
  for (auto& line : log_) all += line + "\n";
  EXPECT_NE(all.find("02:00:00:00:01:01 (lab) failed: cannot open " + dir_ + "/srv/b.scr"),
            std::string::npos) << all;
  EXPECT_EQ(table_.open_files(), 0u);
}

TEST_F(ServerTest, NothingToInstallIsRefusedAndAnUnstartedEndIsNoFinish) {
  fs::remove(dir_ + "/srv/base.kpk");
  table_ = SessionTable(ServerOptions{dir_ + "/srv", false, "test server"});
  std::string why;
  EXPECT_FALSE(table_.can_serve(&why));
  EXPECT_EQ(why, dir_ + "/srv holds no package archive (*.kpk) that can be read");
  auto in = installer(1, 0);
  discover_server(*in->context, "lab");
  EXPECT_FALSE(request_start(*in->context));  // taken as a refusal
  const Address other = {2, 0, 0, 0, 1, 0x33};
  ask(make_datagram(other, {}, 1, 0, "DSCV\n\n\nnew\ni386\n"));
  EXPECT_EQ(ask(make_datagram(other, kServer, 1, 1, "WTRM")), make_datagram(kServer, other, 2, 1, "TERM\n"));
  std::string all;
  for (auto& line : log_) all += line + "\n";
  EXPECT_NE(all.find("(lab) is refused: there is no package to install"), std::string::npos) << all;
  EXPECT_EQ(all.find("finished"), std::string::npos) << all;
}

TEST_F(ServerTest, ARouterWithADirectoryOfItsOwnGetsItsOwnScripts) {
  put("srv/hosts/02:00:00:00:01:01/a.scr", "own");
  table_ = SessionTable(ServerOptions{dir_ + "/srv", false, "test server"});
  std::map<int, std::string> got;
  for (uint8_t id : {1, 2}) {
    auto in = installer(id, 0);
    discover_server(*in->context, "lab");
    ASSERT_TRUE(request_start(*in->context));
    std::string name, text;
    while (next(*in->context, name, text))
      if (name == "a.scr") got[id] = text;
  }
  EXPECT_EQ(got, (std::map<int, std::string>{{1, "own"}, {2, ""}}));
}

TEST_F(ServerTest, FewOpenFilesServeManyRoutersAndASilentOneComesBack) {
  put("srv/c.scr", std::string(200000, 'c'));  // more than one read-ahead
  ServerOptions options{dir_ + "/srv", false, "test server"};
  options.max_open_files = 1;
  options.block_size = 4000;
  table_ = SessionTable(options);
  auto one = installer(1, 3), two = installer(2, 0);
  discover_server(*one->context, "one");
  discover_server(*two->context, "two");
  ASSERT_TRUE(request_start(*one->context));
  ASSERT_TRUE(request_start(*two->context));
  std::string name, text1, text2;
  // Both in the big file at once, block by block, through one descriptor.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(next(*one->context, name, text1));
    ASSERT_TRUE(next(*two->context, name, text2));
  }
  ASSERT_EQ(name, "b.scr");
  auto open_file = [](NetContext& c) {
    c.transfer = std::make_unique<FileTransfer>(*c.selected_interface(), c.session);
    return open_next_file(*c.transfer);
  };
  ASSERT_EQ(open_file(*one->context), NextFile::Opened);
  ASSERT_EQ(open_file(*two->context), NextFile::Opened);
  std::string a, b;
  char buffer[4096];
  for (int n1 = 1, n2 = 1; n1 > 0 || n2 > 0;) {
    if (n1 > 0 && (n1 = read_file_data(*one->context->transfer, buffer, sizeof buffer)) > 0) a.append(buffer, n1);
    if (n2 > 0 && (n2 = read_file_data(*two->context->transfer, buffer, sizeof buffer)) > 0) b.append(buffer, n2);
    EXPECT_LE(table_.open_files(), 1u);
    if (a.size() == 100000) {
      // One falls silent for long enough to be given up; its file is closed...
      table_.expire(SessionTable::kSilence + 10000000, log_);
      base_time_ = SessionTable::kSilence + 10000000;
      EXPECT_EQ(table_.open_files(), 0u);
    }
  }
  // ... and it goes on where it stood when it comes back.
  EXPECT_EQ(a, std::string(200000, 'c'));
  EXPECT_EQ(b, std::string(200000, 'c'));
  std::string all;
  for (auto& line : log_) all += line + "\n";
  EXPECT_NE(all.find("(one) timed out"), std::string::npos) << all;
  EXPECT_NE(all.find("(one) is back"), std::string::npos) << all;
}

}  // namespace
