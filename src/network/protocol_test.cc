// The protocol rules as a table of exchanges against a fake peer in simulated time: each case
// scripts what the peer answers to the installer's datagrams and compares every datagram the
// installer sent (time in milliseconds, card, sequence, acknowledgement, payload start) and
// the result. Retransmission and give-up times are real protocol times on the fake clock.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "network/discovery.h"
#include "network/file_transfer.h"
#include "network/net_context.h"
#include "testing/fake_network.h"
#include "testing/scratch_root.h"
#include "system/output.h"

namespace {

const Address kCard0 = {2, 0, 0, 0, 0, 1};
const Address kCard1 = {2, 0, 0, 0, 0, 2};
const Address kServer = {2, 0, 0, 0, 0, 0xAA};
const Address kNobody = {};

using Sent = FakeNetwork::Sent;

std::string payload_of(const Sent& s) { return s.bytes.substr(kHeaderSize); }
const Address& address_of(const std::string& card) { return card == "eth0" ? kCard0 : kCard1; }

// A server that offers on card (answering the n-th announcement round, from 1) and then
// answers the confirmation; extra(...) may replace any answer.
struct ScriptedServer {
  std::string offer_card = "eth1";
  std::string offer = "OFFR\nwelcome\n\n";
  int offer_round = 1;
  bool answer_yack = true;
  int rounds = 0;
  std::function<bool(FakeNetwork&, const Sent&, int round)> extra;

  void operator()(FakeNetwork& net, const Sent& s) {
    std::string p = payload_of(s);
    if (p.compare(0, 4, "DSCV") == 0 && s.card == "eth0") ++rounds;
    if (extra && extra(net, s, rounds)) return;
    if (p.compare(0, 4, "DSCV") == 0 && s.card == offer_card && rounds >= offer_round)
      net.deliver(s.card, make_datagram(kServer, address_of(s.card), 1, 0, offer), 1000);
    if (p == "YACK\n" && answer_yack)
      net.deliver(s.card, make_datagram(kServer, address_of(s.card), 2, 1, "OK"), 1000);
  }
};

class ProtocolTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    net_.cards = {{"eth0", kCard0}, {"eth1", kCard1}};
    net_.write_proc_net_dev();
    ASSERT_TRUE(bring_up_interfaces(net_, context_.interfaces));
    ASSERT_EQ(context_.interface_count(), 2u);
  }
  // The context after a server on eth1 was chosen: sent 1, received 2 (OFFR and YACK's answer).
  FileTransfer& chosen_server(uint32_t sent = 1, uint32_t received = 2) {
    context_.selected = 1;
    memcpy(context_.session.own_address, kCard1.data(), 6);
    memcpy(context_.session.peer_address, kServer.data(), 6);
    context_.session.sent = sent;
    context_.session.received = received;
    context_.transfer = std::make_unique<FileTransfer>(*context_.interfaces[1], context_.session);
    return *context_.transfer;
  }
  // Answers every request of the installer on eth1 with the replies in turn (sequence numbers
  // following on from `first`), each after delay; "" means no answer.
  void serve(std::vector<std::string> replies, uint16_t first = 3, uint64_t delay = 100) {
    auto state = std::make_shared<size_t>(0);
    net_.peer = [=](FakeNetwork& net, const Sent&) {
      size_t i = (*state)++;
      if (i < replies.size() && !replies[i].empty())
        net.deliver("eth1", make_datagram(kServer, kCard1, uint16_t(first + i), uint16_t(first + i - 1),
                                          replies[i]), delay);
    };
  }

  FakeNetwork net_;
  NetContext context_{net_};
};

struct DiscoveryCase {
  const char* name;
  std::function<void(ScriptedServer&)> setup;
  const char* transcript;
  bool keep;
};

const std::string k512(512, 'x');

const DiscoveryCase kDiscovery[] = {
    {"offer without keep", [](ScriptedServer&) {},
     "0 eth0 seq=1 ack=0 DSCV...label\n0 eth1 seq=1 ack=0 DSCV...label\n1 eth1 seq=1 ack=1 YACK.\n",
     false},
    {"offer with keep", [](ScriptedServer& s) { s.offer = "OFFR\nwelcome\nkeep\n"; },
     "0 eth0 seq=1 ack=0 DSCV...label\n0 eth1 seq=1 ack=0 DSCV...label\n1 eth1 seq=1 ack=1 YACK.\n",
     true},
    {"keep without its newline, or in capitals, is not keep",
     [](ScriptedServer& s) {
       s.offer = "OFFR\nwelcome\nkeep";
       s.extra = [](FakeNetwork& net, const Sent& sent, int) {
         if (payload_of(sent).compare(0, 4, "DSCV") != 0 || sent.card != "eth0") return false;
         net.deliver("eth0", make_datagram(kServer, kCard0, 1, 0, "OFFR\nwelcome\nKEEP\n"), 1000);
         return true;
       };
     },
     "0 eth0 seq=1 ack=0 DSCV...label\n0 eth1 seq=1 ack=0 DSCV...label\n1 eth0 seq=1 ack=1 YACK.\n",
     false},
    {"512 characters on line 2 are an offer",
     [](ScriptedServer& s) { s.offer = "OFFR\n" + k512 + "\nkeep\n"; },
     "0 eth0 seq=1 ack=0 DSCV...label\n0 eth1 seq=1 ack=0 DSCV...label\n1 eth1 seq=1 ack=1 YACK.\n",
     true},
    {"513 characters are not; listening goes on in the same window",
     [](ScriptedServer& s) {
       s.extra = [](FakeNetwork& net, const Sent& sent, int round) {
         if (payload_of(sent).compare(0, 4, "DSCV") != 0 || sent.card != "eth1" || round != 1)
           return false;
         net.deliver("eth1", make_datagram(kServer, kCard1, 1, 0, "OFFR\n" + k512 + "y\nkeep\n"), 1000);
         net.deliver("eth1", make_datagram(kServer, kCard1, 1, 0, "OFFR\nok\n"), 300000);
         return true;
       };
     },
     "0 eth0 seq=1 ack=0 DSCV...label\n0 eth1 seq=1 ack=0 DSCV...label\n300 eth1 seq=1 ack=1 YACK.\n",
     false},
    {"offers to nobody, with sequence 2, from port 4999 or cut short are ignored",
     [](ScriptedServer& s) {
       s.offer_round = 2;
       s.extra = [](FakeNetwork& net, const Sent& sent, int round) {
         if (payload_of(sent).compare(0, 4, "DSCV") != 0 || sent.card != "eth1" || round != 1)
           return false;
         net.deliver("eth1", make_datagram(kServer, kNobody, 1, 0, "OFFR\nx\n"), 100);
         net.deliver("eth1", make_datagram(kServer, kCard1, 2, 0, "OFFR\nx\n"), 200);
         net.deliver("eth1", make_datagram(kServer, kCard1, 1, 0, "OFFR\nx\n"), 300, 4999);
         net.deliver("eth1", make_datagram(kServer, kCard0, 1, 0, "OFFR\nx\n"), 400);
         net.deliver("eth1", make_datagram(kServer, kCard1, 1, 0, "OFFR\nx\n", 21), 500);
         // A payload of "OF": the buffer still holds the earlier offers' bytes after it.
         net.deliver("eth1", make_datagram(kServer, kCard1, 1, 0, "OF"), 600);
         net.deliver("eth1", make_datagram(kServer, kCard1, 1, 0, "OFFR\nno second newline"), 700);
         return true;
       };
     },
     "0 eth0 seq=1 ack=0 DSCV...label\n0 eth1 seq=1 ack=0 DSCV...label\n"
     "1000 eth0 seq=1 ack=0 DSCV...label\n1000 eth1 seq=1 ack=0 DSCV...label\n"
     "1001 eth1 seq=1 ack=1 YACK.\n",
     false},
    {"an unanswered YACK: five identical ones a second apart, then a new DSCV",
     [](ScriptedServer& s) {
       s.extra = [](FakeNetwork& net, const Sent& sent, int round) {
         if (payload_of(sent) == "YACK\n" && round == 1) return true;
         return false;
       };
     },
     "0 eth0 seq=1 ack=0 DSCV...label\n0 eth1 seq=1 ack=0 DSCV...label\n"
     "1 eth1 seq=1 ack=1 YACK.\n1001 eth1 seq=1 ack=1 YACK.\n2001 eth1 seq=1 ack=1 YACK.\n"
     "3001 eth1 seq=1 ack=1 YACK.\n4001 eth1 seq=1 ack=1 YACK.\n"
     "5001 eth0 seq=1 ack=0 DSCV...label\n5001 eth1 seq=1 ack=0 DSCV...label\n"
     "5002 eth1 seq=1 ack=1 YACK.\n",
     false},
};

TEST_F(ProtocolTest, DiscoveryExchanges) {
  for (const DiscoveryCase& c : kDiscovery) {
    SCOPED_TRACE(c.name);
    FakeNetwork net;
    net.cards = net_.cards;
    NetContext context(net);
    ASSERT_TRUE(bring_up_interfaces(net, context.interfaces));
    ScriptedServer server;
    c.setup(server);
    net.peer = std::ref(server);
    net.interrupts = 1;  // a signal during the first wait changes nothing
    net.time_limit = 20000000;
    bool keep = discover_server(context, "label");
    EXPECT_EQ(net.transcript(), c.transcript);
    EXPECT_EQ(keep, c.keep);
    ASSERT_NE(context.transfer, nullptr);
    EXPECT_EQ(context.transfer->interface, context.selected_interface());
    EXPECT_EQ(memcmp(context.session.peer_address, kServer.data(), 6), 0);
    EXPECT_EQ(context.session.sent, 1u);
    EXPECT_EQ(context.session.received, 2u);
  }
}

TEST_F(ProtocolTest, AnnouncementAndDriverRequestBytes) {
  std::string dscv, drvr;
  net_.peer = [&](FakeNetwork& net, const Sent& s) {
    if (s.card != "eth1") return;
    if (payload_of(s).compare(0, 4, "DSCV") == 0) dscv = s.bytes;
    if (payload_of(s).compare(0, 4, "DRVR") == 0) {
      drvr = s.bytes;
      net.deliver("eth1", make_datagram(kServer, kCard1, 1, 0, "OFDR"), 5);
    }
  };
  net_.time_limit = 1000;
  EXPECT_THROW(discover_server(context_, "Lab.el"), FakeNetwork::OutOfTime);
  net_.time_limit = 10000000;
  EXPECT_EQ(dscv, make_datagram(kCard1, kNobody, 1, 0, std::string("DSCV\n\n\nLab.el\ni386\n\0", 20)));
  find_driver_server(context_, "6.1.0-9-686");
  EXPECT_EQ(drvr, make_datagram(kCard1, kNobody, 1, 0, std::string("DRVR\n6.1.0-9-686\0", 17)));
  EXPECT_EQ(context_.selected, 1);
  EXPECT_EQ(context_.session.sent, 0u);
  EXPECT_EQ(context_.session.received, 1u);
}

TEST_F(ProtocolTest, EverySixtiethBroadcastScansTheCardsAgain) {
  NetMessage message;
  net_.log.clear();
  net_.cards.push_back({"eth2", {2, 0, 0, 0, 0, 3}});  // its driver came later
  net_.write_proc_net_dev();
  for (int i = 1; i < 60; ++i) ASSERT_TRUE(broadcast_to_all(context_, message, 0));
  EXPECT_TRUE(net_.log.empty());
  EXPECT_EQ(net_.sent.size(), 59u * 2);
  ASSERT_TRUE(broadcast_to_all(context_, message, 0));
  EXPECT_EQ(net_.log, (std::vector<std::string>{"close eth0", "close eth1", "open eth0",
                                                "open eth1", "open eth2"}));
  EXPECT_EQ(net_.sent.size(), 59u * 2 + 3);
  EXPECT_EQ(context_.broadcast_count, 0u);
}

TEST_F(ProtocolTest, FileExchanges) {
  FileTransfer& t = chosen_server();
  std::string block(4076, 'b');
  // A duplicate of the FILE reply (same sequence) is dropped; the right block follows.
  auto state = std::make_shared<int>(0);
  net_.peer = [&, state](FakeNetwork& net, const Sent&) {
    int i = (*state)++;
    if (i == 0) net.deliver("eth1", make_datagram(kServer, kCard1, 3, 2, "FILE\nrouter.kpk\n4077\n"), 100);
    if (i == 1) {
      net.deliver("eth1", make_datagram(kServer, kCard1, 3, 2, "FILE\nrouter.kpk\n4077\n"), 100);
      net.deliver("eth1", make_datagram(kServer, kCard1, 4, 3, block), 200);
    }
    if (i == 2) net.deliver("eth1", make_datagram(kServer, kCard1, 5, 4, "z"), 100);
    if (i == 3) net.deliver("eth1", make_datagram(kServer, kCard1, 6, 5, ""), 100);
    if (i == 4) net.deliver("eth1", make_datagram(kServer, kCard1, 7, 6, "DONE"), 100);
  };
  ASSERT_EQ(open_next_file(t), NextFile::Opened);
  EXPECT_EQ(t.name, "router.kpk");
  EXPECT_EQ(t.size, 4077);
  char buffer[4096];
  EXPECT_EQ(read_file_data(t, buffer, sizeof buffer), 4076);
  EXPECT_EQ(std::string(buffer, 4076), block);
  EXPECT_EQ(read_file_data(t, buffer, sizeof buffer), 1);
  EXPECT_EQ(read_file_data(t, buffer, sizeof buffer), 0);
  EXPECT_EQ(t.total, 4077);
  EXPECT_EQ(open_next_file(t), NextFile::End);
  EXPECT_EQ(net_.transcript(),
            "0 eth1 seq=2 ack=2 RETR\n0 eth1 seq=3 ack=3 RETR\n0 eth1 seq=4 ack=4 RETR\n"
            "0 eth1 seq=5 ack=5 RETR\n0 eth1 seq=6 ack=6 RETR\n");
}

struct AnnouncementCase {
  std::string reply;
  NextFile result;
  const char* name;
  int32_t size;
};

TEST_F(ProtocolTest, FileAnnouncements) {
  const AnnouncementCase cases[] = {
      {"FILE\na.scr\n0\n", NextFile::Opened, "a.scr", 0},
      {"FILE\na.scr\n-1\n", NextFile::End, "", 0},
      {"FILX\na.scr\n5\n", NextFile::End, "", 0},
      {"FILE\na.scr\n5", NextFile::End, "", 0},  // size line without newline
      {"FILE\na.scr", NextFile::End, "", 0},
      {"FILE\n" + std::string(79, 'n') + "\n1\n", NextFile::Opened, nullptr, 1},
      {"FILE\n" + std::string(80, 'n') + "\n1\n", NextFile::Failed, "", 0},
      {std::string("FILE\na\0b\n1\n", 11), NextFile::Failed, "", 0},
      {"", NextFile::Failed, "", 0},  // no answer at all
  };
  for (const AnnouncementCase& c : cases) {
    SCOPED_TRACE(c.reply);
    FakeNetwork net;
    net.cards = net_.cards;
    NetContext context(net);
    ASSERT_TRUE(bring_up_interfaces(net, context.interfaces));
    FileTransfer t(*context.interfaces[1], context.session);
    memcpy(context.session.own_address, kCard1.data(), 6);
    memcpy(context.session.peer_address, kServer.data(), 6);
    context.session.sent = 1;
    context.session.received = 2;
    // An earlier long reply leaves its bytes in the buffer: they must not complete this one.
    memcpy(t.reply.payload(), "FILE\nstale.scr\n99\n", 18);
    net.peer = [&](FakeNetwork& n, const Sent&) {
      if (!c.reply.empty()) n.deliver("eth1", make_datagram(kServer, kCard1, 3, 2, c.reply), 50);
    };
    EXPECT_EQ(open_next_file(t), c.result);
    if (c.name) {
      EXPECT_EQ(t.name, c.name);
    }
    EXPECT_EQ(t.size, c.size);
    if (c.reply.empty()) {
      // 300 attempts, 20 milliseconds each: given up after six seconds.
      EXPECT_EQ(net.sent.size(), 300u);
      EXPECT_EQ(net.elapsed(), 6000000u);
      EXPECT_EQ(net.sent.back().bytes, net.sent.front().bytes);
    }
  }
}

TEST_F(ProtocolTest, RepliesThatDoNotFitTheSessionAreDropped) {
  FileTransfer& t = chosen_server();
  // Each bad reply comes 5 ms after a request; the good one only to the third attempt.
  auto state = std::make_shared<int>(0);
  net_.peer = [&, state](FakeNetwork& net, const Sent&) {
    int i = (*state)++;
    if (i == 0) {
      net.deliver("eth1", make_datagram(kServer, kCard1, 3, 2, "block", 6), 5);    // size lie
      net.deliver("eth1", make_datagram(kServer, kCard1, 3, 9, "block"), 6);       // ack > sent
      net.deliver("eth1", make_datagram(kCard0, kCard1, 3, 2, "block"), 7);        // not the server
      net.deliver("eth1", make_datagram(kServer, kNobody, 3, 2, "block"), 8);      // to anyone
      net.deliver("eth1", make_datagram(kServer, kCard0, 3, 2, "block"), 9);       // another card
      net.deliver("eth1", make_datagram(kCard1, kCard1, 3, 2, "block"), 10);       // our own
      net.deliver("eth1", make_datagram(kServer, kCard1, 4, 2, "block"), 11);      // ahead
      net.deliver("eth1", std::string(19, '\0'), 12);                              // too short
      net.deliver("eth1", make_datagram(kServer, kCard1, 3, 2, "block"), 13, 4999);
    }
    if (i == 2) net.deliver("eth1", make_datagram(kServer, kCard1, 3, 2, "block"), 5);
  };
  char buffer[16];
  EXPECT_EQ(read_file_data(t, buffer, 3), 3);
  EXPECT_EQ(read_file_data(t, buffer, sizeof buffer), 2);
  EXPECT_EQ(net_.transcript(), "0 eth1 seq=2 ack=2 RETR\n20 eth1 seq=2 ack=2 RETR\n40 eth1 seq=2 ack=2 RETR\n");
}

TEST_F(ProtocolTest, ASessionTakesAtMost65535Replies) {
  FileTransfer& t = chosen_server(65535, 65535);
  // The server numbers on, but 65536 no longer fits the header: it arrives as 0.
  serve({"FILE\nx.kpk\n1\n"}, 0);
  EXPECT_EQ(open_next_file(t), NextFile::Failed);
  EXPECT_EQ(net_.sent.size(), 300u);
  EXPECT_EQ(context_.session.received, 65535u);
}

TEST_F(ProtocolTest, StartAndTermination) {
  chosen_server();
  serve({"", "", "", "", ""});
  EXPECT_FALSE(request_start(context_));
  EXPECT_EQ(net_.sent.size(), 5u);
  EXPECT_EQ(net_.elapsed(), 5000000u);

  net_.sent.clear();
  uint64_t start = net_.elapsed();
  serve({"", "", "TERM"}, 1, 1500000);  // each answer 1.5 s late: the third (sequence 3) at 3.5 s
  wait_for_termination(context_);
  ASSERT_EQ(net_.sent.size(), 4u) << net_.transcript() << net_.elapsed() - start;
  for (const Sent& s : net_.sent) EXPECT_EQ(s.bytes, net_.sent[0].bytes);
  EXPECT_EQ(payload_of(net_.sent[0]), "WTRM");
  EXPECT_EQ(net_.elapsed() - start, 3500000u);

  // Nothing answers; a key pressed at 2.5 s ends the wait.
  net_.sent.clear();
  serve({});
  net_.key_at = int64_t(net_.elapsed() + 2500000);
  wait_for_termination(context_);
  EXPECT_EQ(net_.sent.size(), 3u);
  EXPECT_EQ(uint64_t(net_.key_at), net_.elapsed());
}

TEST_F(ProtocolTest, WithoutCardsTheSearchLooksForThemOnceASecond) {
  FakeNetwork net;  // no card yet: /proc/net/dev lists one the kernel does not know
  net.cards = {{"eth0", kCard0}};
  net.write_proc_net_dev();
  net.cards.clear();
  net.on_wait = [](FakeNetwork& n) {
    if (n.elapsed() >= 12000000 && n.cards.empty()) n.cards = {{"eth0", kCard0}};
  };
  ScriptedServer server;
  server.offer_card = "eth0";
  net.peer = std::ref(server);
  NetContext context(net);
  OutputCapture capture;
  EXPECT_FALSE(find_install_server(context, "label"));
  const std::string message =
      "\nWaiting for installation server...\n\nCouldn't find any installation server on network\n";
  EXPECT_EQ(capture.text(), message + message);  // at 0 and 10 s, not every second
  EXPECT_EQ(net.sent.front().time, 13000000u);  // the card, up during the 13th second, is used
  EXPECT_EQ(context.selected_interface()->name, "eth0");
}

TEST_F(ProtocolTest, CardScan) {
  EXPECT_EQ(interface_names("h\nh\n  eth0:123 4\nwlan_long_name_is_cut:1\n  lo: 1\n"),
            (std::vector<std::string>{"eth0", "wlan_long_name_", "lo"}));
  // The loopback card has no address; a card whose socket fails is left out.
  net_.cards[0].socket_fails = true;
  ASSERT_TRUE(bring_up_interfaces(net_, context_.interfaces));
  ASSERT_EQ(context_.interface_count(), 1u);
  EXPECT_EQ(context_.interfaces[0]->name, "eth1");
  net_.query_fails = true;
  EXPECT_FALSE(bring_up_interfaces(net_, context_.interfaces));
  EXPECT_EQ(context_.interface_count(), 0u);
}

}  // namespace
