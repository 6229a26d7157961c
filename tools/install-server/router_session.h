// The install server's side of the protocol: one session per router card (its hardware
// address, on one of the server's cards), numbered and checked by the same session rules as
// the installer's. The server only answers: an announcement (DSCV) or a driver request
// (DRVR) opens a session with an offer; every later request must fit the session. A request
// repeated with the sequence number already answered gets the very same reply again and
// never moves the transfer on.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "catalog.h"
#include "network/net_message.h"
#include "network/peer_session.h"

using MacKey = std::array<uint8_t, 6>;

// File data bytes per reply that keep a reply within one Ethernet frame (1500 bytes of IP:
// 20 of IP header, 8 of UDP header, the protocol's 20-byte header): a larger reply travels
// as IP fragments, and one lost fragment loses the whole reply.
constexpr size_t kFrameBlock = 1500 - 20 - 8 - kHeaderSize;  // 1452

struct ServerOptions {
  std::string dir;
  bool keep = false;               // OFFR line 3 "keep"
  std::string offer_text = "install-server";
  size_t block_size = kFrameBlock;  // file data bytes per reply, 1 to kMaxPayload
  // Routers served at once (one session per router card): each takes a reply buffer of 4 KiB.
  size_t max_sessions = 1024;
  // Files held open at once, each with its read-ahead buffer (64 KiB); a session whose file
  // was closed to make room opens it again where it stood.
  size_t max_open_files = 256;
};

enum class RouterState { Offered, Confirmed, Sending, Done, Finished, TimedOut, Failed };
const char* state_name(RouterState state);

struct RouterSession {
  bool driver = false;  // a driver request opened it
  std::string label;    // the disk label of the announcement ("driver RELEASE" for a driver)
  PeerSession session;
  RouterState state = RouterState::Offered;
  // What this router is handed (shared with every router that started on the same catalog).
  std::shared_ptr<const std::vector<CatalogEntry>> files;
  size_t next_file = 0;     // index of the next file to announce
  bool in_file = false;     // a file is announced and its empty block not yet sent
  int fd = -1;              // that file while it is open, else -1
  std::string current;      // its name
  std::string path;         // where it is read
  // What the file was when announced (device, inode, size, modification time in
  // nanoseconds): it must be the same file when it is opened again.
  std::array<uint64_t, 4> identity = {};
  uint64_t offset = 0;      // bytes of it sent
  uint64_t bytes = 0;       // payload bytes sent in all
  uint64_t started = 0, last_heard = 0;  // microseconds
  std::vector<char> cache;  // bytes of the file read ahead, from cache_offset
  uint64_t cache_offset = 0;
  static constexpr size_t kReadAhead = 65536;
  NetMessage reply;         // the last reply, sent again for a repeated request
  size_t reply_size = 0;
  bool logged_end = false;

  RouterSession() = default;
  RouterSession(const RouterSession&) = delete;
  RouterSession& operator=(const RouterSession&) = delete;
  ~RouterSession();
  // Closes the file and frees the read-ahead buffer; where the transfer stands is kept.
  void close_file();
  size_t file_count() const { return files ? files->size() : 0; }
};

class SessionTable {
 public:
  // Reads the catalog of options.dir (when it is not empty).
  explicit SessionTable(ServerOptions options);
  // The same with the catalog of options.dir already read (read_catalog true), which it takes.
  SessionTable(ServerOptions options, Catalog catalog);

  // Handles one datagram of size bytes that arrived on the server card card (index) with
  // address card_address at time now. Returns the reply to broadcast on that card (empty
  // when there is none; valid until the next call). Log lines for the operator are appended
  // to log; what a flood of datagrams causes is counted and summed up by expire() instead.
  // The message's header may be changed. Any bytes, of any size up to kMaxMessage, are safe.
  std::string_view handle(int card, const uint8_t* card_address, NetMessage& message,
                     size_t size, uint64_t now, std::vector<std::string>& log);

  // Reads the directory's catalog again (the routers that start from now on get it); its
  // warnings go to log. A directory that cannot be listed leaves the catalog as it was, with
  // a warning. The table reads it once when it is made, and every STRT hands out the catalog
  // as it stands.
  void refresh_catalog(std::vector<std::string>& log);
  // The same, only when catalog_stamp() of the directory differs from its last reading and
  // has stayed so since the previous call (a file being copied in is read once it is
  // complete). expire() calls it.
  void refresh_catalog_if_changed(std::vector<std::string>& log);
  const std::vector<CatalogEntry>& catalog() const { return catalog_.common; }
  const Catalog& full_catalog() const { return catalog_; }
  // The warnings of the catalog's first reading, for the operator at start.
  const std::vector<std::string>& catalog_warnings() const { return catalog_warnings_; }
  // Whether the first reading found something to install: false, with why, when the
  // directory could not be listed or holds no package archive that can be read. A server
  // should not start then (it would refuse every router's STRT).
  bool can_serve(std::string* why) const;

  // Marks sessions silent for too long (their files closed), forgets offers that were never
  // confirmed (the router's other cards) and sessions that ended a while ago, sums up what
  // was counted instead of logged, refreshes the catalog when the directory changed, and
  // logs what it did. Meant to be called about twice a second.
  void expire(uint64_t now, std::vector<std::string>& log);

  struct Key {
    MacKey router;
    int card;
    bool operator<(const Key& o) const { return card != o.card ? card < o.card : router < o.router; }
  };
  const std::map<Key, RouterSession>& sessions() const { return sessions_; }
  size_t open_files() const { return open_files_; }

  // An unconfirmed offer is forgotten, and a started installation reported as silent, after
  // these many microseconds without a word; a session that ended (finished, failed, or
  // silent) is forgotten kEndedLife after its last word.
  static constexpr uint64_t kOfferLife = 10000000;
  static constexpr uint64_t kSilence = 300000000;
  static constexpr uint64_t kEndedLife = 60000000;
  // Counted causes are summed up once per period; at most kLinesPerPeriod lines about single
  // routers are logged per period, the rest only counted.
  static constexpr uint64_t kSummaryPeriod = 10000000;
  static constexpr size_t kLinesPerPeriod = 100;
  static constexpr size_t kEndingsPerPeriod = 1000;
  // Kernel releases without a driver that are named one by one; later ones are counted.
  static constexpr size_t kMaxMissingReleases = 64;

 private:
  using Sessions = std::map<Key, RouterSession>;
  std::string_view open_session(const Key& key, const uint8_t* card_address, const NetMessage& m,
                           bool driver, uint64_t now, std::vector<std::string>& log);
  void answer(RouterSession& s, const NetMessage& request, uint64_t now,
              std::vector<std::string>& log, const std::string& who);
  // False when the file cannot be read: the session has failed, no reply then.
  bool next_block(RouterSession& s, NetMessage& reply, size_t& length,
                  std::vector<std::string>& log, const std::string& who);
  // Opens s's current file (again, at its offset, when it was closed to make room); false
  // with the reason in why.
  bool open_file(RouterSession& s, bool announce, std::string* why);
  void close_file(RouterSession& s);
  void fail(RouterSession& s, std::vector<std::string>& log, const std::string& line);
  Sessions::iterator erase(Sessions::iterator it);
  // Frees a place for a new session when the table is full; false when every session is
  // busy with a router that is talking.
  bool make_room(uint64_t now);
  // A line about one router, within the period's budget. The lines that end an
  // installation (finished, failed, silent) have a budget of their own, which a flood of the
  // cheap ones (announcements, starts) cannot use up.
  void note(std::vector<std::string>& log, std::string line, bool ending = false);
  void count(const char* cause, uint64_t n = 1) { counts_[cause] += n; }
  std::shared_ptr<const std::vector<CatalogEntry>> files_for(const MacKey& router) const;
  void share_catalog();
  // Closes the open file of the session heard from longest ago (not except); false when no
  // other session holds one.
  bool close_idle_file(const RouterSession* except);
  // Which sessions may go to make room: 0 ended, 1 an offer, 2 started but silent for a
  // while; -1 a session busy with a router that talks.
  static int rank(const RouterSession& s, uint64_t now);

  ServerOptions options_;
  Catalog catalog_;
  // One shared copy per catalog reading and router address with files of its own.
  std::shared_ptr<const std::vector<CatalogEntry>> shared_common_;
  std::map<std::string, std::shared_ptr<const std::vector<CatalogEntry>>> shared_hosts_;
  bool catalog_read_ = false;
  std::string catalog_error_;
  std::string catalog_stamp_, pending_stamp_;
  std::vector<std::string> catalog_warnings_;
  Sessions sessions_;
  size_t open_files_ = 0;
  std::set<std::string> missing_drivers_;  // releases already reported
  // Sessions that may go when the table is full, best first from the back.
  struct Victim {
    Key key;
    uint64_t last_heard;
    int rank;
  };
  std::vector<Victim> victims_;
  uint64_t no_victim_until_ = 0;
  std::map<std::string, uint64_t> counts_;
  uint64_t period_start_ = 0;
  size_t lines_in_period_ = 0, endings_in_period_ = 0;
};

// "AA:BB:CC:DD:EE:FF".
std::string mac_text(const uint8_t* address);
