// Configuration scripts from the server, whose names come unauthenticated: what is written
// where, and every name that must be refused, as a table. The script's bytes come over the
// fake network as data blocks.
#include "network/config_script.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "network/file_transfer.h"
#include "network/net_context.h"
#include "system/output.h"
#include "testing/fake_network.h"
#include "testing/scratch_root.h"

namespace {

const Address kCard = {2, 0, 0, 0, 0, 1};
const Address kServer = {2, 0, 0, 0, 0, 0xAA};

struct ScriptCase {
  std::string name;
  int32_t size;           // as announced
  bool server_answers;    // false: the data never comes
  std::string written;    // installer path that must hold the bytes afterwards ("" none)
  std::string console;
};

class ConfigScriptTest : public ScratchRoot {};

TEST_F(ConfigScriptTest, NamesFromTheServer) {
  const std::string made = "Writing configuration...\n";
  const std::string refused = made + "\nFATAL ERROR: couldn't make a file\n";
  const ScriptCase cases[] = {
      {"conf.scr", 9, true, "/flash/conf.scr", made},
      {"rw/autorun.scr", 9, true, "/flash/rw/autorun.scr", made},
      {"/rw//./x.scr", 9, true, "/flash/rw/x.scr", made},
      {std::string(27, 'n') + ".scr", 9, true, "/flash/" + std::string(27, 'n') + ".scr", made},
      {"zero.scr", 0, true, "/empty", made},  // an announced size of 0 goes to /empty
      {std::string(28, 'n') + ".scr", 9, true, "", refused},  // does not fit the name copy
      {"../outside.scr", 9, true, "", refused},
      {"rw/../../outside.scr", 9, true, "", refused},
      {"missing/x.scr", 9, true, "", refused},
      {"link/outside.scr", 9, true, "", refused},  // /flash/link leads out of the target
      {"planted.scr", 9, true, "", refused},       // a link already in place is not followed
      {"slow.scr", 9, false, "", made + "\nFATAL ERROR: bad network connection\n"},
  };
  mkdir(host("/flash").c_str(), 0755);
  mkdir(host("/flash/rw").c_str(), 0755);
  mkdir((scratch_ + "/out").c_str(), 0755);
  symlink((scratch_ + "/out").c_str(), host("/flash/link").c_str());
  symlink((scratch_ + "/out/planted.scr").c_str(), host("/flash/planted.scr").c_str());
  ASSERT_TRUE(is_configuration_script("a.scr"));
  ASSERT_FALSE(is_configuration_script(".scr"));
  ASSERT_FALSE(is_configuration_script("a.kpk"));
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNetwork net;
    net.cards = {{"eth0", kCard}};
    net.write_proc_net_dev();
    NetContext context(net);
    ASSERT_TRUE(bring_up_interfaces(net, context.interfaces));
    memcpy(context.session.own_address, kCard.data(), 6);
    memcpy(context.session.peer_address, kServer.data(), 6);
    FileTransfer t(*context.interfaces[0], context.session);
    t.name = c.name;
    t.size = c.size;
    const std::string blocks[] = {"line one\n", ""};
    net.peer = [&](FakeNetwork& n, const FakeNetwork::Sent&) {
      uint32_t i = context.session.received;
      if (c.server_answers && i < 2)
        n.deliver("eth0", make_datagram(kServer, kCard, uint16_t(i + 1), uint16_t(i), blocks[i]), 10);
    };
    OutputCapture capture;
    bool ok = write_configuration_script(t);
    EXPECT_EQ(ok, !c.written.empty());
    EXPECT_EQ(capture.text(), c.console);
    if (!c.written.empty()) {
      EXPECT_EQ(get(host(c.written)), "line one\n");
    }
    EXPECT_EQ(listing(scratch_ + "/out"), "");  // nothing ever lands outside the target
  }
}

}  // namespace
