#include "router_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

std::string_view payload_of(const NetMessage& m) {
  return std::string_view(reinterpret_cast<const char*>(m.payload()), m.length());
}

bool begins(std::string_view payload, std::string_view keyword) {
  return payload.substr(0, keyword.size()) == keyword;
}

// Only printable characters of a text from the network, at most max of them.
std::string printable(std::string_view text, size_t max) {
  std::string out;
  for (char c : text) {
    if (out.size() >= max) break;
    if (c > 32 && c < 127) out.push_back(c);
  }
  return out;
}

// Line index (from 0) of a payload, "" when it is not there.
std::string_view line(std::string_view payload, int index) {
  for (; index > 0; --index) {
    size_t nl = payload.find('\n');
    if (nl == std::string_view::npos) return {};
    payload.remove_prefix(nl + 1);
  }
  return payload.substr(0, payload.find('\n'));
}

std::string_view reply_of(const RouterSession& s) {
  return std::string_view(reinterpret_cast<const char*>(s.reply.bytes), s.reply_size);
}

std::string seconds(uint64_t microseconds) {
  char text[32];
  snprintf(text, sizeof text, "%.3f s", double(microseconds) / 1e6);
  return text;
}

}  // namespace

const char* state_name(RouterState state) {
  switch (state) {
    case RouterState::Offered: return "offered";
    case RouterState::Confirmed: return "confirmed";
    case RouterState::Sending: return "sending";
    case RouterState::Done: return "files sent";
    case RouterState::Finished: return "finished";
    case RouterState::TimedOut: return "silent";
    case RouterState::Failed: return "failed";
  }
  return "?";
}

std::string mac_text(const uint8_t* a) {
  char text[18];
  format_hardware_address(a, text);
  return text;
}

RouterSession::~RouterSession() { close_file(); }

SessionTable::SessionTable(ServerOptions options) : options_(std::move(options)) {
  if (options_.block_size == 0 || options_.block_size > kMaxPayload) options_.block_size = kFrameBlock;
  if (!options_.dir.empty()) catalog_ = build_catalog(options_.dir, &catalog_warnings_);
}

void SessionTable::refresh_catalog(std::vector<std::string>& log) {
  std::vector<std::string> warnings;
  catalog_ = build_catalog(options_.dir, &warnings);
  log.insert(log.end(), warnings.begin(), warnings.end());
}

void RouterSession::close_file() {
  if (fd >= 0) close(fd);
  fd = -1;
  cache.clear();
  cache_offset = 0;
}

std::string_view SessionTable::handle(int card, const uint8_t* card_address, NetMessage& m,
                                 size_t size, uint64_t now, std::vector<std::string>& log) {
  if (size < kHeaderSize || size != kHeaderSize + m.length()) return {};
  if (is_zero_address(m.source()) || memcmp(m.source(), card_address, 6) == 0) return {};
  Key key;
  memcpy(key.router.data(), m.source(), 6);
  key.card = card;
  std::string_view payload = payload_of(m);
  if (is_zero_address(m.destination())) {
    // Only a first datagram may go to anyone: it opens a session.
    if (m.sequence() != 1 || m.acknowledgement() != 0) return {};
    if (begins(payload, "DSCV")) return open_session(key, card_address, m, false, now, log);
    if (begins(payload, "DRVR")) return open_session(key, card_address, m, true, now, log);
    return {};
  }
  if (memcmp(m.destination(), card_address, 6) != 0) return {};
  auto it = sessions_.find(key);
  if (it == sessions_.end()) return {};
  RouterSession& s = it->second;
  std::string who = mac_text(m.source());
  if (s.reply_size > 0 && s.session.received > 0 &&
      m.sequence() == uint16_t(s.session.received)) {
    // The router did not get our reply: the same one again, and nothing moves on.
    s.last_heard = now;
    return reply_of(s);
  }
  if (!accept_message(s.session, m, size)) return {};
  s.last_heard = now;
  if (s.state == RouterState::TimedOut) {
    s.state = s.fd >= 0 || s.next_file > 0 ? RouterState::Sending : RouterState::Confirmed;
    log.push_back(who + " (" + s.label + ") is back");
  }
  if (s.session.sent >= 0xFFFF) {
    // The next reply's number would not fit the header: the router cannot take it.
    if (s.state != RouterState::Failed)
      log.push_back(who + " (" + s.label + ") failed: a session takes at most 65535 replies");
    s.state = RouterState::Failed;
    s.reply_size = 0;
    return {};
  }
  answer(s, m, now, log, who);
  return reply_of(s);
}

std::string_view SessionTable::open_session(const Key& key, const uint8_t* card_address,
                                       const NetMessage& m, bool driver, uint64_t now,
                                       std::vector<std::string>& log) {
  std::string_view payload = payload_of(m);
  std::string who = mac_text(m.source());
  std::vector<CatalogEntry> files;
  std::string label;
  if (driver) {
    std::string_view release = payload.substr(5);
    release = release.substr(0, release.find('\0'));
    std::string path = driver_path(options_.dir, std::string(release));
    if (path.empty()) {
      std::string text = printable(release, 64);
      if (missing_drivers_.insert(text).second)
        log.push_back(who + " asks for a driver for kernel \"" + text + "\": there is none");
      return {};
    }
    label = "driver " + std::string(release);
    files.push_back({std::string(release) + ".kpk", path});
  } else {
    label = printable(line(payload, 3), 63);
  }
  auto old = sessions_.find(key);
  if (old != sessions_.end()) {
    RouterState was = old->second.state;
    if (!old->second.driver && (was == RouterState::Sending || was == RouterState::Confirmed ||
                                was == RouterState::Done))
      log.push_back(who + " (" + old->second.label + ") started over");
    sessions_.erase(old);
  }
  RouterSession& s = sessions_[key];
  s.driver = driver;
  s.label = label.empty() ? "-" : label;
  s.files = std::move(files);
  s.started = s.last_heard = now;
  memcpy(s.session.own_address, card_address, 6);
  memcpy(s.session.peer_address, m.source(), 6);
  std::string text = driver ? "OFDR\n" : "OFFR\n" + options_.offer_text + "\n" +
                                             (options_.keep ? "keep\n" : "");
  s.reply.clear();
  stamp_header(s.session, s.reply, uint16_t(s.reply.put_payload(text)));
  s.reply_size = kHeaderSize + s.reply.length();
  return reply_of(s);
}

void SessionTable::answer(RouterSession& s, const NetMessage& request, uint64_t now,
                          std::vector<std::string>& log, const std::string& who) {
  std::string_view payload = payload_of(request);
  NetMessage& reply = s.reply;
  // Only the header: a payload is always written in full up to its length, and nothing past
  // the length is ever sent.
  memset(reply.bytes, 0, kHeaderSize);
  size_t length = 0;
  if (begins(payload, "YACK") && !s.driver && s.state == RouterState::Offered) {
    s.state = RouterState::Confirmed;
    length = reply.put_payload("OK\n");
  } else if (begins(payload, "STRT") && !s.driver) {
    s.close_file();
    s.files = catalog_;
    s.next_file = 0;
    s.bytes = 0;
    s.started = now;
    s.state = RouterState::Sending;
    log.push_back(who + " (" + s.label + ") starts: " + std::to_string(s.files.size()) + " files");
    length = reply.put_payload("OK\n");
  } else if (begins(payload, "RETR") &&
             (s.driver || s.state == RouterState::Sending || s.state == RouterState::Done)) {
    if (!next_block(s, reply, length, log, who)) {
      s.reply_size = 0;
      return;
    }
  } else if (begins(payload, "WTRM")) {
    if (s.state != RouterState::Finished)
      log.push_back(who + " (" + s.label + ") finished: " + std::to_string(s.next_file) +
                    " files, " + std::to_string(s.bytes) + " bytes in " +
                    seconds(now - s.started));
    s.state = RouterState::Finished;
    length = reply.put_payload("TERM\n");
  } else {
    length = reply.put_payload("ERR\n");
  }
  stamp_header(s.session, reply, uint16_t(length));
  s.reply_size = kHeaderSize + length;
}

bool SessionTable::next_block(RouterSession& s, NetMessage& reply, size_t& length,
                              std::vector<std::string>& log, const std::string& who) {
  if (s.fd < 0) {
    while (s.next_file < s.files.size()) {
      const CatalogEntry& entry = s.files[s.next_file++];
      int fd = open(entry.path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st;
      if (fd < 0 || fstat(fd, &st) != 0) {
        log.push_back("cannot read " + entry.path + ": " + strerror(errno) + "; left out");
        if (fd >= 0) close(fd);
        continue;
      }
      s.fd = fd;
      s.current = entry.name;
      s.offset = 0;
      s.state = RouterState::Sending;
      length = reply.put_payload("FILE\n" + entry.name + "\n" + std::to_string(st.st_size) + "\n");
      return true;
    }
    s.state = RouterState::Done;
    s.current.clear();
    length = reply.put_payload("DONE\n");
    return true;
  }
  // Reads ahead: one read for many blocks.
  if (s.offset < s.cache_offset || s.offset >= s.cache_offset + s.cache.size()) {
    s.cache.resize(RouterSession::kReadAhead);
    ssize_t got;
    do {
      got = pread(s.fd, s.cache.data(), s.cache.size(), off_t(s.offset));
    } while (got < 0 && errno == EINTR);
    s.cache.resize(got > 0 ? size_t(got) : 0);
    s.cache_offset = s.offset;
    if (got < 0) s.cache_offset = UINT64_MAX;
  }
  ssize_t n = -1;
  if (s.cache_offset != UINT64_MAX) {
    size_t at = size_t(s.offset - s.cache_offset);
    n = ssize_t(std::min(options_.block_size, s.cache.size() - at));
    memcpy(reply.payload(), s.cache.data() + at, size_t(n));
  }
  if (n < 0) {
    // A file cut short would be installed broken: the router is left to time out instead.
    log.push_back(who + " (" + s.label + ") failed: cannot read " + s.current + ": " +
                  strerror(errno));
    s.state = RouterState::Failed;
    s.close_file();
    return false;
  }
  if (n == 0) {
    s.close_file();
    if (s.driver) {
      s.state = RouterState::Done;
      log.push_back(who + " (" + s.label + ") driver sent: " + s.current + ", " +
                    std::to_string(s.offset) + " bytes");
    }
  }
  s.offset += uint64_t(n);
  s.bytes += uint64_t(n);
  length = size_t(n);
  return true;
}

void SessionTable::expire(uint64_t now, std::vector<std::string>& log) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    RouterSession& s = it->second;
    uint64_t quiet = now > s.last_heard ? now - s.last_heard : 0;
    bool forget = (s.state == RouterState::Offered && quiet > kOfferLife) ||
                  (s.driver && s.state == RouterState::Done && quiet > kOfferLife) ||
                  (s.state == RouterState::Finished && quiet > 6 * kOfferLife);
    if (forget) {
      it = sessions_.erase(it);
      continue;
    }
    if (quiet > kSilence && (s.state == RouterState::Confirmed || s.state == RouterState::Sending ||
                             s.state == RouterState::Done)) {
      log.push_back(mac_text(it->first.router.data()) + " (" + s.label + ") timed out after " +
                    seconds(quiet) + " without a word");
      s.state = RouterState::TimedOut;
    }
    ++it;
  }
}
