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
};

enum class RouterState { Offered, Confirmed, Sending, Done, Finished, TimedOut, Failed };
const char* state_name(RouterState state);

struct RouterSession {
  bool driver = false;  // a driver request opened it
  std::string label;    // the disk label of the announcement ("driver RELEASE" for a driver)
  PeerSession session;
  RouterState state = RouterState::Offered;
  std::vector<CatalogEntry> files;
  size_t next_file = 0;     // index of the next file to announce
  int fd = -1;              // the file being sent, or -1 between files
  std::string current;      // its name
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
  void close_file();
};

class SessionTable {
 public:
  explicit SessionTable(ServerOptions options);

  // Handles one datagram of size bytes that arrived on the server card card (index) with
  // address card_address at time now. Returns the reply to broadcast on that card (empty
  // when there is none; valid until the next call). Log lines for the operator are appended
  // to log. The message's header may be changed.
  std::string_view handle(int card, const uint8_t* card_address, NetMessage& message,
                     size_t size, uint64_t now, std::vector<std::string>& log);

  // Reads the directory's catalog again (the routers that start from now on get it); its
  // warnings go to log. The table reads it once when it is made, and every STRT hands out
  // the catalog as it stands.
  void refresh_catalog(std::vector<std::string>& log);
  const std::vector<CatalogEntry>& catalog() const { return catalog_; }
  // The warnings of the catalog's first reading, for the operator at start.
  const std::vector<std::string>& catalog_warnings() const { return catalog_warnings_; }

  // Marks sessions silent for too long, forgets offers that were never confirmed (the
  // router's other cards) and logs what it did.
  void expire(uint64_t now, std::vector<std::string>& log);

  struct Key {
    MacKey router;
    int card;
    bool operator<(const Key& o) const { return card != o.card ? card < o.card : router < o.router; }
  };
  const std::map<Key, RouterSession>& sessions() const { return sessions_; }

  // An unconfirmed offer is forgotten, and a started installation reported as silent, after
  // these many microseconds without a word.
  static constexpr uint64_t kOfferLife = 10000000;
  static constexpr uint64_t kSilence = 300000000;

 private:
  std::string_view open_session(const Key& key, const uint8_t* card_address, const NetMessage& m,
                           bool driver, uint64_t now, std::vector<std::string>& log);
  void answer(RouterSession& s, const NetMessage& request, uint64_t now,
              std::vector<std::string>& log, const std::string& who);
  // False when the file cannot be read: no reply then.
  bool next_block(RouterSession& s, NetMessage& reply, size_t& length,
                  std::vector<std::string>& log, const std::string& who);

  ServerOptions options_;
  std::vector<CatalogEntry> catalog_;
  std::vector<std::string> catalog_warnings_;
  std::map<Key, RouterSession> sessions_;
  std::set<std::string> missing_drivers_;  // releases already reported
};

// "AA:BB:CC:DD:EE:FF".
std::string mac_text(const uint8_t* address);
