// The install server's protocol core against the installer's own network code, connected
// through the fake network in simulated time: every reply the server makes is what the
// installer gets, except those the test loses on purpose.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
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
      std::string_view reply = table_.handle(0, kServer.data(), m, s.bytes.size(), net.elapsed(), log_);
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

  std::string dir_, base_;
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

}  // namespace
