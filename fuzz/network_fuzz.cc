// The installation protocol against a server that answers from fuzz input: every datagram
// the installer sends is answered by the next few datagrams of the input (none, one or
// several; on either card; stamped as a server session would, lying in a header field, or
// raw bytes of any length), after a delay, in simulated time. The installer runs what the
// network flow runs: discovery (DSCV/OFFR/YACK), then RETR/FILE file after file, writing
// configuration scripts under /flash and reading the other files to their end, then STRT and
// the closing WTRM/TERM exchange. Checked: names and counts the transfer hands out are
// sane, and nothing outside /flash is written (a link planted in /flash points out of it).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "network/config_script.h"
#include "network/discovery.h"
#include "network/file_transfer.h"
#include "network/net_context.h"
#include "system/root.h"
#include "testing/fake_network.h"

namespace {

const Address kCard0 = {2, 0, 0, 0, 0, 1};
const Address kCard1 = {2, 0, 0, 0, 0, 2};
const Address kServer = {2, 0, 0, 0, 0, 0xAA};
const Address kStranger = {2, 0, 0, 0, 0, 0xBB};

void check(bool ok, const char* what) {
  if (!ok) oracle_failure("network", what);
}

// The server side: answers each sent datagram from the script.
struct ScriptedPeer {
  ByteReader* script;
  uint16_t sequence = 0;  // the server's own count within the installer's session

  void operator()(FakeNetwork& net, const FakeNetwork::Sent& sent) {
    if (script->empty()) return;
    NetMessage request;
    memcpy(request.bytes, sent.bytes.data(), std::min(sent.bytes.size(), kMaxMessage));
    if (request.sequence() == 1) sequence = 0;  // a new session (a broadcast)
    uint8_t count = script->u8() % 4;
    for (uint8_t i = 0; i < count && !script->empty(); ++i) {
      uint8_t op = script->u8();
      std::string card = op & 1 ? "eth1" : "eth0";
      if (op & 2) card = sent.card;
      const Address& own = card == "eth0" ? kCard0 : kCard1;
      uint64_t delay = uint64_t(script->u8()) * 1000;
      uint16_t port = op & 0x80 ? uint16_t(script->u16()) : kProtocolPort;
      std::string payload(script->bytes(script->u16() % 4200));
      std::string datagram;
      switch (op >> 2 & 7) {
        case 0:
        case 1:
        case 2:  // a well-formed answer
          datagram = make_datagram(kServer, own, ++sequence, request.sequence(), payload);
          break;
        case 3:  // a sequence number off by some
          datagram = make_datagram(kServer, own, uint16_t(sequence + script->u8()),
                                   request.sequence(), payload);
          break;
        case 4:  // addressed to nobody in particular, or from a stranger
          datagram = make_datagram(op & 0x40 ? kStranger : kServer, Address{}, ++sequence,
                                   request.sequence(), payload);
          break;
        case 5:  // a length field that lies
          datagram = make_datagram(kServer, own, ++sequence, request.sequence(), payload,
                                   script->u16());
          break;
        default:  // raw bytes
          datagram = payload;
          break;
      }
      net.deliver(card, datagram, delay, port);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string scratch = scratch_dir("network");
  static const std::string root = scratch + "/root", outside = scratch + "/outside";
  static bool ready = [] {
    mkdir(root.c_str(), 0755);
    put_file(outside + "/keep", "outside the scratch root\n");
    return true;
  }();
  (void)ready;
  empty_dir(root);
  set_root_prefix(root);
  put_file(root + "/keep/file", "outside the target\n");
  put_file(root + "/flash/.keep", "");
  symlink("../../outside", (root + "/flash/out").c_str());
  symlink("/keep", (root + "/flash/abs").c_str());
  Fingerprint outside_before = fingerprint(outside), keep_before = fingerprint(root + "/keep");

  ByteReader script(data, size);
  FakeNetwork net;
  net.cards = {{"eth0", kCard0}, {"eth1", kCard1}};
  net.write_proc_net_dev();
  net.time_limit = 15000000;  // 15 s of simulated time
  net.peer = ScriptedPeer{&script};
  std::set<int> fds = open_descriptors();
  bool out_of_time = false;
  {
    QuietConsole quiet;
    NetContext context(net);
    try {
      bring_up_interfaces(net, context.interfaces);
      discover_server(context, "label");
      check(context.transfer && context.selected_interface(), "a server without a transfer");
      for (int files = 0; files < 64; ++files) {
        context.transfer =
            std::make_unique<FileTransfer>(*context.selected_interface(), context.session);
        FileTransfer& t = *context.transfer;
        NextFile next = open_next_file(t);
        if (next != NextFile::Opened) break;
        check(t.name.size() < kMaxFileName, "a file name too long for its field");
        check(t.name.find('\0') == std::string::npos, "a file name with a NUL byte");
        check(t.size >= 0, "a negative size");
        if (is_configuration_script(t.name)) {
          if (!write_configuration_script(t)) break;
          continue;
        }
        char buffer[4096];
        uint64_t total = 0;
        int n;
        while ((n = read_file_data(t, buffer, 1 + script.u8() * 16)) > 0) {
          check(n <= int(kMaxPayload), "a block larger than a datagram holds");
          check(t.position <= t.block_length && t.block_length <= int(kMaxPayload),
                "the block position runs past the block");
          total += uint64_t(n);
          if (total > (1u << 22)) break;
        }
        if (n < 0) break;
      }
      request_start(context);
      net.key_at = int64_t(net.elapsed() + 3000000);
      wait_for_termination(context);
    } catch (const FakeNetwork::OutOfTime&) {
      out_of_time = true;
    }
  }
  std::set<int> now = open_descriptors();
  if (now != fds) {
    // The fake network ends a wait that would never end by throwing, which the installer's
    // code (made for a network that never throws) does not unwind from: what it had open
    // then is closed here. Without that, a descriptor left open is a leak.
    if (!out_of_time) oracle_failure("network", "a descriptor was left open");
    for (int fd : now)
      if (!fds.count(fd)) close(fd);
  }
  std::string changed = fingerprint_diff(outside_before, fingerprint(outside));
  changed += fingerprint_diff(keep_before, fingerprint(root + "/keep"));
  if (!changed.empty()) oracle_failure("network", "written outside the target:\n" + changed);
  return 0;
}
