// A Network for tests: cards that exist only in memory, a clock that runs only when the code
// waits, and a peer that answers in simulated time. Waiting never sleeps: wait() moves the
// clock to the next datagram due (or to the time-out), so a six-second give-up takes
// microseconds to test. Every datagram sent is kept, with its time, for the test to compare.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/net_message.h"
#include "network/network.h"

using Address = std::array<uint8_t, 6>;

// Builds a raw datagram: the header fields as given, then payload. length is the header's
// length field (payload.size() unless a test lies about it).
std::string make_datagram(const Address& source, const Address& destination, uint16_t sequence,
                          uint16_t acknowledgement, const std::string& payload, int length = -1);

class FakeNetwork : public Network {
 public:
  struct Card {
    std::string name;
    Address address;
    bool socket_fails = false;
  };
  struct Sent {
    uint64_t time;  // microseconds since the fake clock's start
    std::string card;
    std::string bytes;
  };
  // Thrown by wait() once the clock passes time_limit: ends code that would wait for ever.
  struct OutOfTime : std::runtime_error {
    OutOfTime() : std::runtime_error("fake network: out of time") {}
  };

  // Writes /proc/net/dev (through the root prefix) with lo and the cards, in this order.
  void write_proc_net_dev() const;

  // Queues a datagram for the card, arriving delay microseconds from now, from port.
  void deliver(const std::string& card, const std::string& bytes, uint64_t delay = 0,
               uint16_t port = kProtocolPort);
  // Microseconds since the start.
  uint64_t elapsed() const { return now_ - kStart; }
  // The sent datagrams as text, one line each: "TIME CARD seq=S ack=A PAYLOAD" with time in
  // milliseconds and the payload's printable start.
  std::string transcript() const;

  std::vector<Card> cards;
  bool query_fails = false;
  std::vector<Sent> sent;
  std::vector<std::string> log;  // "open CARD", "close CARD"
  // Called for every datagram sent, after it was recorded.
  std::function<void(FakeNetwork&, const Sent&)> peer;
  // Called at the start of every wait (a test changes the cards there, say).
  std::function<void(FakeNetwork&)> on_wait;
  int64_t key_at = -1;           // time (elapsed) from which descriptor 0 is readable
  int interrupts = 0;            // so many waits fail with EINTR first
  uint64_t time_limit = 600000000;

  bool open_query() override;
  void close_query() override {}
  int hardware_address(const std::string& card, uint8_t (&address)[6]) override;
  int open_card_socket(const std::string& card) override;
  void close_socket(int socket) override;
  int send(int socket, const void* bytes, size_t length) override;
  int receive(int socket, void* buffer, size_t max, sockaddr_in& sender) override;
  int wait(const int* descriptors, bool* ready, size_t count, uint64_t& timeout_us) override;
  uint64_t now_microseconds() override { return now_; }

 private:
  static constexpr uint64_t kStart = 1000000000000;
  struct Pending {
    uint64_t due;
    std::string bytes;
    uint16_t port;
  };
  bool readable(int descriptor) const;
  const Card* card_of(int socket) const;

  uint64_t now_ = kStart;
  int next_socket_ = 100;
  std::map<int, std::string> sockets_;                // open socket -> card name
  std::map<std::string, std::deque<Pending>> queue_;  // card name -> datagrams in flight
};
