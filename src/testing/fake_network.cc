#include "testing/fake_network.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "system/root.h"

std::string make_datagram(const Address& source, const Address& destination, uint16_t sequence,
                          uint16_t acknowledgement, const std::string& payload, int length) {
  NetMessage m;
  memcpy(m.source(), source.data(), 6);
  memcpy(m.destination(), destination.data(), 6);
  m.set_length(uint16_t(length < 0 ? int(payload.size()) : length));
  m.set_sequence(sequence);
  m.set_acknowledgement(acknowledgement);
  size_t n = std::min(payload.size(), kMaxPayload);
  memcpy(m.payload(), payload.data(), n);
  return std::string(reinterpret_cast<const char*>(m.bytes), kHeaderSize + n);
}

void FakeNetwork::write_proc_net_dev() const {
  std::string path = root_path("/proc/net/dev");
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path);
  out << "Inter-|   Receive                            |  Transmit\n"
         " face |bytes    packets errs drop fifo frame compressed multicast|bytes\n"
         "    lo:       0       0    0    0    0     0          0         0        0\n";
  for (const Card& card : cards) out << "  " << card.name << ":1234 5 0 0 0 0 0 0 77 1\n";
}

void FakeNetwork::deliver(const std::string& card, const std::string& bytes, uint64_t delay,
                          uint16_t port) {
  auto& q = queue_[card];
  Pending p{now_ + delay, bytes, port};
  // Kept in order of arrival.
  auto at = std::upper_bound(q.begin(), q.end(), p.due,
                             [](uint64_t due, const Pending& x) { return due < x.due; });
  q.insert(at, p);
}

std::string FakeNetwork::transcript() const {
  std::string out;
  for (const Sent& s : sent) {
    NetMessage m;
    memcpy(m.bytes, s.bytes.data(), std::min(s.bytes.size(), kMaxMessage));
    std::string text;
    for (char c : m.payload_text().substr(0, 12)) text += (c >= 32 && c < 127) ? c : '.';
    char line[160];
    snprintf(line, sizeof line, "%llu %s seq=%u ack=%u %s\n",
             (unsigned long long)(s.time / 1000), s.card.c_str(), m.sequence(),
             m.acknowledgement(), text.c_str());
    out += line;
  }
  return out;
}

bool FakeNetwork::open_query() { return !query_fails; }

int FakeNetwork::hardware_address(const std::string& name, uint8_t (&address)[6]) {
  if (name == "lo") {
    memset(address, 0, 6);
    return 0;
  }
  for (const Card& card : cards)
    if (card.name == name) {
      memcpy(address, card.address.data(), 6);
      return 0;
    }
  errno = ENODEV;
  return -1;
}

int FakeNetwork::open_card_socket(const std::string& name) {
  for (const Card& card : cards)
    if (card.name == name && !card.socket_fails) {
      log.push_back("open " + name);
      sockets_[next_socket_] = name;
      return next_socket_++;
    }
  errno = ENODEV;
  return -1;
}

void FakeNetwork::close_socket(int socket) {
  auto it = sockets_.find(socket);
  if (it == sockets_.end()) return;
  log.push_back("close " + it->second);
  sockets_.erase(it);
}

const FakeNetwork::Card* FakeNetwork::card_of(int socket) const {
  auto it = sockets_.find(socket);
  if (it == sockets_.end()) return nullptr;
  for (const Card& card : cards)
    if (card.name == it->second) return &card;
  return nullptr;
}

int FakeNetwork::send(int socket, const void* bytes, size_t length) {
  const Card* card = card_of(socket);
  if (!card) {
    errno = EBADF;
    return -1;
  }
  sent.push_back({elapsed(), card->name, std::string(static_cast<const char*>(bytes), length)});
  if (peer) peer(*this, sent.back());
  return int(length);
}

int FakeNetwork::receive(int socket, void* buffer, size_t max, sockaddr_in& sender) {
  const Card* card = card_of(socket);
  auto q = card ? queue_.find(card->name) : queue_.end();
  if (q == queue_.end() || q->second.empty() || q->second.front().due > now_) {
    errno = EAGAIN;
    return -1;
  }
  Pending p = q->second.front();
  q->second.pop_front();
  memset(&sender, 0, sizeof sender);
  sender.sin_family = AF_INET;
  sender.sin_port = htons(p.port);
  memcpy(buffer, p.bytes.data(), std::min(max, p.bytes.size()));
  return int(p.bytes.size());
}

bool FakeNetwork::readable(int descriptor) const {
  if (descriptor == 0) return key_at >= 0 && uint64_t(key_at) <= elapsed();
  const Card* card = card_of(descriptor);
  if (!card) return false;
  auto q = queue_.find(card->name);
  return q != queue_.end() && !q->second.empty() && q->second.front().due <= now_;
}

int FakeNetwork::wait(const int* descriptors, bool* ready, size_t count, uint64_t& timeout_us) {
  if (on_wait) on_wait(*this);
  if (interrupts > 0) {
    --interrupts;
    errno = EINTR;
    return -1;
  }
  // The earliest moment one of the descriptors becomes readable.
  uint64_t earliest = UINT64_MAX;
  for (size_t i = 0; i < count; ++i) {
    if (descriptors[i] == 0) {
      if (key_at >= 0) earliest = std::min(earliest, kStart + uint64_t(key_at));
      continue;
    }
    const Card* card = card_of(descriptors[i]);
    if (!card) continue;
    auto q = queue_.find(card->name);
    if (q != queue_.end() && !q->second.empty())
      earliest = std::min(earliest, q->second.front().due);
  }
  uint64_t until = now_ + timeout_us;
  int found = 0;
  if (earliest <= until) {
    uint64_t at = std::max(now_, earliest);
    timeout_us = until - at;
    now_ = at;
    for (size_t i = 0; i < count; ++i) found += (ready[i] = readable(descriptors[i])) ? 1 : 0;
  } else {
    now_ = until;
    timeout_us = 0;
    for (size_t i = 0; i < count; ++i) ready[i] = false;
  }
  if (elapsed() > time_limit) throw OutOfTime();
  return found;
}
