// The install server's protocol core against routers scripted by fuzz input: eight routers
// that keep to the session rules (announce, confirm, start, fetch file after file, announce
// the end; a step whose reply is lost is sent again, as the installer does), datagrams built
// from the input (any source address, from the routers' own to thousands of made-up ones,
// any addressee, sequence and acknowledgement, any keyword with any tail, a length field
// that lies), raw bytes of any size up to a whole message, floods of announcements and
// driver requests from new addresses, and time that passes, in simulated time, with the
// limits set low (16 sessions, 3 open files). Checked after every datagram: a reply is a
// whole message of at most kMaxMessage bytes whose length field matches, the sessions and
// open files stay within their limits and the count of open files is true, at most a few log
// lines come of one datagram. At the end a new router, after the others fell silent, is
// served every file of its list with the right bytes, and no descriptor is left open once
// the table is gone.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "archive_writer.h"
#include "fuzz_support.h"
#include "network/net_message.h"
#include "network/peer_session.h"
#include "router_session.h"
#include "testing/fake_network.h"
#include "testing/signing.h"

namespace {

const Address kCards[2] = {{2, 0, 0, 0, 0, 0xA0}, {2, 0, 0, 0, 0, 0xA1}};
constexpr size_t kMaxSessions = 16, kMaxOpenFiles = 3;

void check(bool ok, const std::string& what) {
  if (!ok) oracle_failure("server", what);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The served directory: a genuine package, scripts, a driver, and a router's own script.
const std::string& served_dir() {
  static const std::string dir = [] {
    std::string d = scratch_dir("server") + "/srv";
    kpk::PackageSpec s;
    s.name = "base";
    s.version = 0x01000000;
    s.has_files = true;
    s.files = {{"etc/base", 0100644, 0, 0, 0, false, "base"}};
    put_file(d + "/base.kpk", signed_archive(s));
    put_file(d + "/a.scr", "");
    put_file(d + "/b.scr", std::string(3000, 'b'));
    put_file(d + "/c.scr", "c\n");
    put_file(d + "/drivers/6.1.kpk", std::string(700, 'd'));
    put_file(d + "/hosts/02:00:00:00:00:01/b.scr", "own\n");
    return d;
  }();
  return dir;
}

struct Table {
  SessionTable* table;
  std::vector<std::string> log;
  uint64_t now = 1000000;

  // Hands one datagram to the table and checks what comes back.
  std::string send(int card, const std::string& bytes, size_t size) {
    // One buffer for every datagram (clearing 4 KiB each time would be most of the work);
    // what lies past a datagram's size is never its part.
    static NetMessage m;
    memcpy(m.bytes, bytes.data(), std::min(bytes.size(), kMaxMessage));
    size_t before = log.size();
    std::string reply(table->handle(card, kCards[card].data(), m, size, now, log));
    check(log.size() - before <= 3, "many log lines for one datagram");
    if (!reply.empty()) {
      check(reply.size() >= kHeaderSize && reply.size() <= kMaxMessage, "reply size");
      size_t length = uint8_t(reply[14]) | size_t(uint8_t(reply[15])) << 8;
      check(reply.size() == kHeaderSize + length, "reply length field");
      check(memcmp(reply.data(), kCards[card].data(), 6) == 0, "reply not from the card");
    }
    check(table->sessions().size() <= kMaxSessions, "sessions over the limit");
    size_t open = 0;
    for (const auto& [key, s] : table->sessions()) open += s.fd >= 0;
    check(open == table->open_files(), "open file count");
    check(open <= kMaxOpenFiles, "open files over the limit");
    if (log.size() > 4096) log.clear();
    return reply;
  }
  void pass(uint64_t microseconds) {
    now += microseconds;
    table->expire(now, log);
  }
};

// A router that keeps to the session rules.
struct Router {
  Address address;
  int card = 0;
  PeerSession session;
  int phase = 0;  // 0 announce, 1 confirm, 2 start, 3 fetch, 4 end, 5 ended
  bool in_file = false, pending = false, strict = false;
  int unanswered = 0;
  std::string request;
  std::vector<std::pair<std::string, std::string>> files;  // got so far

  // Sends the next request (or the unanswered one again); lose drops the reply.
  void step(Table& t, bool lose) {
    if (phase == 5) return;
    if (!pending) {
      static const char* kWords[] = {"", "YACK\n", "STRT", "RETR", "WTRM"};
      static NetMessage m;
      memset(m.bytes, 0, kHeaderSize);
      if (phase == 0) {
        session = PeerSession();
        memcpy(session.own_address, address.data(), 6);
        stamp_header(session, m, uint16_t(m.put_payload(std::string("DSCV\n\n\nlab\ni386\n\0", 17))));
        session.sent = 0;  // as a broadcast leaves it: the confirmation is number 1
        files.clear();
        in_file = false;
      } else {
        stamp_header(session, m, uint16_t(m.put_payload(kWords[phase])));
      }
      request.assign(reinterpret_cast<char*>(m.bytes), kHeaderSize + m.length());
      pending = true;
    }
    std::string reply = t.send(card, request, request.size());
    if (lose || reply.empty()) {
      // The installer gives up on a silent server after a while and starts over.
      if (++unanswered > 40) phase = 0, pending = false, unanswered = 0;
      return;
    }
    static NetMessage r;
    memcpy(r.bytes, reply.data(), reply.size());
    if (!accept_message(session, r, reply.size())) return;
    if (phase == 0) memcpy(session.peer_address, r.source(), 6);
    pending = false;
    unanswered = 0;
    std::string payload(reinterpret_cast<const char*>(r.payload()), r.length());
    if (phase < 3) {
      ++phase;
    } else if (phase == 3) {
      if (in_file) {
        if (payload.empty()) in_file = false;
        else files.back().second += payload;
      } else if (payload.rfind("FILE\n", 0) == 0) {
        size_t nl = payload.find('\n', 5);
        files.push_back({payload.substr(5, nl == std::string::npos ? 0 : nl - 5), ""});
        in_file = true;
      } else {
        phase = 4;
      }
    } else if (phase == 4) {
      // Datagrams made in a router's name can take its place in the session; only the
      // router nobody imitates is held to the answer.
      if (strict) check(payload.rfind("TERM", 0) == 0, "WTRM not answered with TERM");
      phase = 5;
    }
  }
};

Address made_up(uint16_t n) { return {2, 0, 0, 0xAA, uint8_t(n >> 8), uint8_t(n)}; }

std::string keyword(ByteReader& in) {
  static const char* kWords[] = {"DSCV\n\n\nlab\ni386\n", "DRVR\n6.1", "DRVR", "DRVR\n", "YACK\n",
                                 "STRT", "RETR", "WTRM", "DSCV", "OFFR\n"};
  uint8_t w = in.u8();
  std::string text = w < 200 ? kWords[w % 10] : "";
  text += std::string(in.piece());
  if (w & 1) text.push_back('\0');
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = served_dir();
  static Catalog catalog = [] {
    Catalog c;
    std::vector<std::string> warnings;
    check(read_catalog(dir, c, &warnings), "the catalog cannot be read");
    check(warnings.empty() && c.common_packages == 1, "the catalog is not as made");
    return c;
  }();
  ByteReader in(data, size);
  int fds = open_descriptor_count();
  {
    ServerOptions options{dir, (in.u8() & 1) != 0, "fuzz"};
    options.block_size = 256 + size_t(in.u8()) * 15;
    options.max_sessions = kMaxSessions;
    options.max_open_files = kMaxOpenFiles;
    SessionTable table(options, catalog);
    Table t{&table, {}};
    Router routers[8];
    for (int i = 0; i < 8; ++i) {
      routers[i].address = {2, 0, 0, 0, 0, uint8_t(i)};
      routers[i].card = i & 1;
    }
    for (int steps = 0; steps < 400 && !in.empty(); ++steps) {
      uint8_t op = in.u8();
      switch (op & 3) {
        case 0: {  // a router's next step
          Router& r = routers[op >> 2 & 7];
          r.step(t, op & 0x80);
          if (r.phase == 5 && (op & 0x20)) r.phase = 0;  // it installs again
          break;
        }
        case 1: {  // a datagram made from the input
          uint8_t from = in.u8();
          Address source = from < 128 ? routers[from & 7].address : made_up(in.u16());
          uint8_t to = in.u8();
          int card = to >> 7;
          Address destination = to & 3 ? kCards[(to & 3) == 2 ? card : !card] : Address{};
          if ((to & 3) == 3) destination = made_up(1);
          Router& r = routers[from & 7];
          uint16_t sequence = (op & 4) ? uint16_t(r.session.sent + 1) : (op & 8) ? 1 : in.u16();
          uint16_t ack = (op & 16) ? uint16_t(r.session.received) : (op & 32) ? 0 : in.u16();
          std::string text = keyword(in);
          if (text.size() > kMaxPayload) text.resize(kMaxPayload);
          std::string bytes = (op & 64) ? make_datagram(source, destination, sequence, ack, text, in.u16())
                                        : make_datagram(source, destination, sequence, ack, text);
          t.send(card, bytes, bytes.size());
          break;
        }
        case 2: {  // raw bytes, of any size a datagram may have
          size_t n = in.u16() % (kMaxMessage + 1);
          std::string bytes(in.bytes(n));
          bytes.resize(n);
          t.send(op >> 7, bytes, n);
          break;
        }
        case 3:
          if (op & 4) {  // a flood of announcements or driver requests from new addresses
            int count = in.u8() % 64 + 1;
            uint16_t first = in.u16();
            std::string text = op & 8 ? std::string("DRVR\n6.1\0", 9) : "DSCV\n\n\nflood\ni386\n";
            if (op & 16) text = std::string("DRVR\n", 5) + std::string(in.piece());
            for (int i = 0; i < count; ++i) {
              std::string bytes = make_datagram(made_up(uint16_t(first + i)), {}, 1, 0, text);
              t.send(i & 1, bytes, bytes.size());
            }
          } else {
            t.pass(uint64_t(in.u16()) * (op & 8 ? 10000 : 100));
          }
          break;
      }
    }
    // Everyone else falls silent; a new router must then be served all its files.
    t.pass(SessionTable::kOfferLife + 1000000);
    Router fresh;
    fresh.address = {2, 0, 0, 0, 0, 0xFE};
    fresh.strict = true;
    for (int i = 0; i < 20000 && fresh.phase != 5; ++i) fresh.step(t, false);
    if (fresh.phase != 5) for (auto& l : t.log) fprintf(stderr, "%s\n", l.c_str());
    check(fresh.phase == 5, "a new router was not served to the end (phase " + std::to_string(fresh.phase) + ")");
    const std::vector<CatalogEntry>& want = catalog.files_for(mac_text(fresh.address.data()));
    check(fresh.files.size() == want.size(), "a new router got another number of files");
    for (size_t i = 0; i < want.size() && i < fresh.files.size(); ++i) {
      check(fresh.files[i].first == want[i].name, "a new router got another file");
      check(fresh.files[i].second == read_file(want[i].path), "a new router got other bytes");
    }
    check(open_descriptor_count() <= fds + int(kMaxOpenFiles), "descriptors over the limit");
  }
  check(open_descriptor_count() == fds, "a descriptor left open");
  return 0;
}
