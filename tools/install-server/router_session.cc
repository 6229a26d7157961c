#include "router_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

void RouterSession::close_file() {
  if (fd >= 0) close(fd);
  fd = -1;
  std::vector<char>().swap(cache);
  cache_offset = 0;
}

SessionTable::SessionTable(ServerOptions options) : options_(std::move(options)) {
  if (options_.block_size == 0 || options_.block_size > kMaxPayload) options_.block_size = kFrameBlock;
  if (options_.max_sessions == 0) options_.max_sessions = 1;
  if (options_.max_open_files == 0) options_.max_open_files = 1;
  if (!options_.dir.empty()) {
    catalog_stamp_ = catalog_stamp(options_.dir);
    catalog_read_ = read_catalog(options_.dir, catalog_, &catalog_warnings_, &catalog_error_);
  } else {
    catalog_error_ = "no directory";
  }
  share_catalog();
}

SessionTable::SessionTable(ServerOptions options, Catalog catalog)
    : options_(std::move(options)), catalog_(std::move(catalog)) {
  if (options_.block_size == 0 || options_.block_size > kMaxPayload) options_.block_size = kFrameBlock;
  if (options_.max_sessions == 0) options_.max_sessions = 1;
  if (options_.max_open_files == 0) options_.max_open_files = 1;
  catalog_read_ = true;
  if (!options_.dir.empty()) catalog_stamp_ = catalog_stamp(options_.dir);
  share_catalog();
}

void SessionTable::share_catalog() {
  shared_common_ = std::make_shared<const std::vector<CatalogEntry>>(catalog_.common);
  shared_hosts_.clear();
  for (const auto& [host, files] : catalog_.hosts)
    shared_hosts_[host] = std::make_shared<const std::vector<CatalogEntry>>(files);
}

bool SessionTable::can_serve(std::string* why) const {
  if (!catalog_read_) {
    if (why) *why = catalog_error_;
    return false;
  }
  if (catalog_.common_packages == 0) {
    if (why) *why = options_.dir + " holds no package archive (*.kpk) that can be read";
    return false;
  }
  return true;
}

void SessionTable::refresh_catalog(std::vector<std::string>& log) {
  std::vector<std::string> warnings;
  std::string why;
  Catalog fresh;
  fresh.checks = catalog_.checks;
  if (!read_catalog(options_.dir, fresh, &warnings, &why)) {
    log.push_back(why + "; the routers are served what was there before");
    return;
  }
  catalog_ = std::move(fresh);
  catalog_read_ = true;
  share_catalog();
  log.push_back("read " + options_.dir + " again: " + std::to_string(catalog_.common.size()) +
                " files, " + std::to_string(catalog_.common_packages) + " packages" +
                (catalog_.hosts.empty() ? ""
                                        : ", " + std::to_string(catalog_.hosts.size()) +
                                              " routers with files of their own"));
  log.insert(log.end(), warnings.begin(), warnings.end());
}

void SessionTable::refresh_catalog_if_changed(std::vector<std::string>& log) {
  if (options_.dir.empty()) return;
  std::string stamp = catalog_stamp(options_.dir);
  if (stamp == catalog_stamp_) {
    pending_stamp_.clear();
    return;
  }
  // Read once the change has settled: a file still being copied changes on every call.
  if (stamp != pending_stamp_) {
    pending_stamp_ = stamp;
    return;
  }
  catalog_stamp_ = stamp;
  pending_stamp_.clear();
  refresh_catalog(log);
}

std::shared_ptr<const std::vector<CatalogEntry>> SessionTable::files_for(const MacKey& router) const {
  auto it = shared_hosts_.find(mac_text(router.data()));
  return it == shared_hosts_.end() ? shared_common_ : it->second;
}

void SessionTable::note(std::vector<std::string>& log, std::string line, bool ending) {
  size_t& used = ending ? endings_in_period_ : lines_in_period_;
  if (used < (ending ? kEndingsPerPeriod : kLinesPerPeriod)) {
    ++used;
    log.push_back(std::move(line));
  } else {
    count("lines about single routers left out of this log");
  }
}

void SessionTable::close_file(RouterSession& s) {
  if (s.fd >= 0) --open_files_;
  s.close_file();
}

bool SessionTable::close_idle_file(const RouterSession* except) {
  RouterSession* idle = nullptr;
  for (auto& [key, s] : sessions_)
    if (s.fd >= 0 && &s != except && (!idle || s.last_heard < idle->last_heard)) idle = &s;
  if (!idle) return false;
  close_file(*idle);
  return true;
}

void SessionTable::fail(RouterSession& s, std::vector<std::string>& log, const std::string& line) {
  count("sessions failed");
  note(log, line, true);
  close_file(s);
  s.in_file = false;
  s.state = RouterState::Failed;
  s.reply_size = 0;
}

SessionTable::Sessions::iterator SessionTable::erase(Sessions::iterator it) {
  close_file(it->second);
  return sessions_.erase(it);
}

int SessionTable::rank(const RouterSession& s, uint64_t now) {
  uint64_t quiet = now > s.last_heard ? now - s.last_heard : 0;
  switch (s.state) {
    case RouterState::Finished:
    case RouterState::Failed:
    case RouterState::TimedOut:
      return 0;
    case RouterState::Offered:
      return 1;
    case RouterState::Done:
      if (s.driver) return 0;
      [[fallthrough]];
    default:
      return quiet > kOfferLife ? 2 : -1;
  }
}

bool SessionTable::make_room(uint64_t now) {
  if (sessions_.size() < options_.max_sessions) return true;
  // A flood of announcements from made-up addresses takes the places of earlier offers and of
  // sessions that ended, never of a router that is being served and talking.
  while (!victims_.empty()) {
    Victim v = victims_.back();
    victims_.pop_back();
    auto it = sessions_.find(v.key);
    if (it == sessions_.end() || it->second.last_heard != v.last_heard ||
        rank(it->second, now) != v.rank)
      continue;
    erase(it);
    count("sessions forgotten to make room for new ones");
    return true;
  }
  if (now < no_victim_until_) return false;
  for (const auto& [key, s] : sessions_) {
    int r = rank(s, now);
    if (r >= 0) victims_.push_back({key, s.last_heard, r});
  }
  // Those that go first at the back; a short list, made again when it is used up.
  constexpr size_t kBatch = 64;
  auto later = [](const Victim& a, const Victim& b) {
    return a.rank != b.rank ? a.rank > b.rank : a.last_heard > b.last_heard;
  };
  if (victims_.size() > kBatch) {
    std::nth_element(victims_.begin(), victims_.end() - kBatch, victims_.end(), later);
    victims_.erase(victims_.begin(), victims_.end() - kBatch);
  }
  std::sort(victims_.begin(), victims_.end(), later);
  if (victims_.empty()) {
    no_victim_until_ = now + 250000;
    return false;
  }
  erase(sessions_.find(victims_.back().key));
  victims_.pop_back();
  count("sessions forgotten to make room for new ones");
  return true;
}

std::string_view SessionTable::handle(int card, const uint8_t* card_address, NetMessage& m,
                                 size_t size, uint64_t now, std::vector<std::string>& log) {
  if (size < kHeaderSize || size > kMaxMessage || size != kHeaderSize + m.length()) {
    count("datagrams that are not protocol messages");
    return {};
  }
  if (memcmp(m.source(), card_address, 6) == 0) return {};  // our own broadcast
  if (is_zero_address(m.source())) {
    count("datagrams that are not protocol messages");
    return {};
  }
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
  if (memcmp(m.destination(), card_address, 6) != 0) return {};  // for another server
  auto it = sessions_.find(key);
  if (it == sessions_.end()) {
    count("requests outside any session");
    return {};
  }
  RouterSession& s = it->second;
  // A failed session answers nothing: the router gives up and starts over.
  if (s.state == RouterState::Failed) return {};
  std::string who = mac_text(m.source()) + " (" + s.label + ")";
  if (s.reply_size > 0 && s.session.received > 0 &&
      m.sequence() == uint16_t(s.session.received)) {
    // The router did not get our reply: the same one again, and nothing moves on.
    s.last_heard = now;
    return reply_of(s);
  }
  if (!accept_message(s.session, m, size)) return {};
  s.last_heard = now;
  if (s.state == RouterState::TimedOut) {
    s.state = s.in_file || s.next_file > 0 ? RouterState::Sending : RouterState::Confirmed;
    note(log, who + " is back");
  }
  if (s.session.sent >= 0xFFFF) {
    // The next reply's number would not fit the header: the router cannot take it.
    fail(s, log, who + " failed: a session takes at most 65535 replies");
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
  std::shared_ptr<const std::vector<CatalogEntry>> files;
  std::string label;
  if (driver) {
    // "DRVR", a newline, the release, a zero byte; anything shorter names no release.
    std::string_view release = payload.size() > 5 ? payload.substr(5) : std::string_view();
    release = release.substr(0, release.find('\0'));
    std::string path = driver_path(options_.dir, std::string(release));
    if (path.empty()) {
      std::string text = printable(release, 64);
      if (missing_drivers_.count(text)) return {};
      if (missing_drivers_.size() < kMaxMissingReleases) {
        missing_drivers_.insert(text);
        note(log, who + " asks for a driver for kernel \"" + text + "\": there is none");
      } else {
        count("driver requests for further kernels without a driver");
      }
      return {};
    }
    label = "driver " + std::string(release);
    files = std::make_shared<const std::vector<CatalogEntry>>(
        std::vector<CatalogEntry>{{std::string(release) + ".kpk", path}});
  } else {
    label = printable(line(payload, 3), 63);
  }
  auto old = sessions_.find(key);
  if (old != sessions_.end()) {
    RouterState was = old->second.state;
    if (!old->second.driver && (was == RouterState::Sending || was == RouterState::Confirmed ||
                                was == RouterState::Done))
      note(log, who + " (" + old->second.label + ") started over");
    erase(old);
  } else if (!make_room(now)) {
    count("new routers turned away: every session is busy with a router");
    return {};
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
    MacKey router;
    memcpy(router.data(), s.session.peer_address, 6);
    std::shared_ptr<const std::vector<CatalogEntry>> files = files_for(router);
    if (catalog_.packages_for(mac_text(router.data())) == 0) {
      // Started on nothing, the router would install an empty system: no answer, which it
      // takes as a refusal.
      note(log, who + " is refused: there is no package to install");
      s.reply_size = 0;
      return;
    }
    close_file(s);
    s.in_file = false;
    s.current.clear();
    s.files = std::move(files);
    s.next_file = 0;
    s.bytes = 0;
    s.started = now;
    s.state = RouterState::Sending;
    note(log, who + " starts: " + std::to_string(s.file_count()) + " files");
    length = reply.put_payload("OK\n");
  } else if (begins(payload, "RETR") &&
             (s.driver || s.state == RouterState::Sending || s.state == RouterState::Done)) {
    if (!next_block(s, reply, length, log, who)) {
      s.reply_size = 0;
      return;
    }
  } else if (begins(payload, "WTRM")) {
    // Only an installation that was started has finished; the others are just answered.
    if (!s.driver && (s.state == RouterState::Sending || s.state == RouterState::Done)) {
      if (s.state == RouterState::Done)
        note(log, who + " finished: " + std::to_string(s.next_file) + " files, " +
                      std::to_string(s.bytes) + " bytes in " + seconds(now - s.started), true);
      else
        note(log, who + " ended after " + std::to_string(s.next_file) + " of " +
                      std::to_string(s.file_count()) + " files, before it was sent the rest");
      close_file(s);
      s.in_file = false;
      s.state = RouterState::Finished;
    }
    length = reply.put_payload("TERM\n");
  } else {
    length = reply.put_payload("ERR\n");
  }
  stamp_header(s.session, reply, uint16_t(length));
  s.reply_size = kHeaderSize + length;
}

bool SessionTable::open_file(RouterSession& s, bool announce, std::string* why) {
  if (open_files_ >= options_.max_open_files) close_idle_file(&s);
  int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = open(s.path.c_str(), flags);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE) && close_idle_file(&s))
    fd = open(s.path.c_str(), flags);
  if (fd < 0) {
    *why = strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = S_ISREG(st.st_mode) ? strerror(errno) : "not a regular file";
    close(fd);
    return false;
  }
  std::array<uint64_t, 4> identity = {
      uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size),
      uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec)};
  if (announce) {
    s.identity = identity;
  } else if (identity != s.identity) {
    *why = "it changed since it was announced";
    close(fd);
    return false;
  }
  s.fd = fd;
  ++open_files_;
  return true;
}

bool SessionTable::next_block(RouterSession& s, NetMessage& reply, size_t& length,
                              std::vector<std::string>& log, const std::string& who) {
  std::string why;
  if (!s.in_file) {
    if (!s.files) {
      fail(s, log, who + " failed: it asked for files before it started");
      return false;
    }
    if (s.next_file < s.files->size()) {
      const CatalogEntry& entry = (*s.files)[s.next_file];
      s.current = entry.name;
      s.path = entry.path;
      s.offset = 0;
      // Announcing fewer files than there are would install an incomplete system: a file
      // that cannot be opened fails the session, and the router's transfer with it.
      if (!open_file(s, true, &why)) {
        fail(s, log, who + " failed: cannot open " + entry.path + ": " + why);
        return false;
      }
      ++s.next_file;
      s.in_file = true;
      s.state = RouterState::Sending;
      length = reply.put_payload("FILE\n" + entry.name + "\n" + std::to_string(s.identity[2]) + "\n");
      return true;
    }
    if (!s.driver) s.state = RouterState::Done;
    s.current.clear();
    length = reply.put_payload("DONE\n");
    return true;
  }
  if (s.fd < 0 && !open_file(s, false, &why)) {
    fail(s, log, who + " failed: cannot open " + s.path + " again: " + why);
    return false;
  }
  // Reads ahead: one read for many blocks.
  if (s.offset < s.cache_offset || s.offset >= s.cache_offset + s.cache.size()) {
    // No more than the announced size: a small file takes a small buffer.
    uint64_t left = s.identity[2] > s.offset ? s.identity[2] - s.offset : 0;
    s.cache.resize(size_t(std::min<uint64_t>(RouterSession::kReadAhead, left)));
    ssize_t got;
    do {
      got = pread(s.fd, s.cache.data(), s.cache.size(), off_t(s.offset));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      // A file cut short would be installed broken: the router is left to time out instead.
      fail(s, log, who + " failed: cannot read " + s.path + ": " + strerror(errno));
      return false;
    }
    s.cache.resize(size_t(got));
    s.cache_offset = s.offset;
  }
  size_t at = size_t(s.offset - s.cache_offset);
  size_t n = std::min(options_.block_size, s.cache.size() - at);
  if (n > 0) memcpy(reply.payload(), s.cache.data() + at, n);
  if (n == 0) {
    close_file(s);
    s.in_file = false;
    if (s.driver) {
      s.state = RouterState::Done;
      note(log, who + " driver sent: " + s.current + ", " + std::to_string(s.offset) + " bytes", true);
    }
  }
  s.offset += n;
  s.bytes += n;
  length = n;
  return true;
}

void SessionTable::expire(uint64_t now, std::vector<std::string>& log) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    RouterSession& s = it->second;
    uint64_t quiet = now > s.last_heard ? now - s.last_heard : 0;
    bool ended = s.state == RouterState::Finished || s.state == RouterState::Failed ||
                 (s.driver && s.state == RouterState::Done);
    bool forget = (s.state == RouterState::Offered && quiet > kOfferLife) ||
                  (s.driver && s.state == RouterState::Done && quiet > kOfferLife) ||
                  (ended && quiet > kEndedLife) ||
                  (s.state == RouterState::TimedOut && quiet > kSilence + kEndedLife);
    if (forget) {
      it = erase(it);
      continue;
    }
    if (quiet > kSilence && (s.state == RouterState::Confirmed || s.state == RouterState::Sending ||
                             s.state == RouterState::Done)) {
      note(log, mac_text(it->first.router.data()) + " (" + s.label + ") timed out after " +
                    seconds(quiet) + " without a word", true);
      // Where the transfer stands is kept: a router that comes back goes on from there.
      close_file(s);
      s.state = RouterState::TimedOut;
    }
    ++it;
  }
  if (victims_.capacity() > 1024) std::vector<Victim>().swap(victims_);
  if (now - period_start_ >= kSummaryPeriod || now < period_start_) {
    for (const auto& [cause, n] : counts_)
      log.push_back("in the last " + seconds(now - period_start_) + ": " + std::to_string(n) + " " +
                    cause);
    counts_.clear();
    period_start_ = now;
    lines_in_period_ = endings_in_period_ = 0;
  }
  refresh_catalog_if_changed(log);
}
