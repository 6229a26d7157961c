// The kernel filters of the card sockets, run by the kernel itself: a UDP socket on loopback
// with the filter attached, and datagrams of every kind of addressee sent to it.
#include "network/linux_network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "network/net_message.h"

namespace {

using Mac = std::vector<uint8_t>;

// A receiving socket on a free loopback port, a sending socket, and the datagrams that got
// through the receiver's filter.
class Loopback {
 public:
  Loopback() {
    receiver_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address_;
    bool ok = receiver_ >= 0 && sender_ >= 0 &&
              bind(receiver_, reinterpret_cast<sockaddr*>(&address_), sizeof address_) == 0 &&
              getsockname(receiver_, reinterpret_cast<sockaddr*>(&address_), &size) == 0;
    EXPECT_TRUE(ok) << strerror(errno);
  }
  ~Loopback() {
    if (receiver_ >= 0) close(receiver_);
    if (sender_ >= 0) close(sender_);
  }
  int receiver() const { return receiver_; }

  // A datagram with our header from source to destination; tag goes into the payload.
  void send(const Mac& source, const Mac& destination, const std::string& tag) {
    NetMessage m;
    memcpy(m.source(), source.data(), 6);
    memcpy(m.destination(), destination.data(), 6);
    size_t n = m.put_payload(tag);
    m.set_length(uint16_t(n));
    m.set_sequence(1);
    send_bytes(m.bytes, kHeaderSize + n);
  }
  void send_bytes(const void* bytes, size_t length) {
    ASSERT_EQ(sendto(sender_, bytes, length, 0, reinterpret_cast<sockaddr*>(&address_),
                     sizeof address_),
              ssize_t(length));
  }

  // The tags of everything that waits on the receiver; loopback delivers within sendto.
  std::vector<std::string> received() {
    std::vector<std::string> tags;
    NetMessage m;
    ssize_t n;
    while ((n = recv(receiver_, m.bytes, sizeof m.bytes, 0)) >= 0)
      tags.push_back(n < ssize_t(kHeaderSize) ? "short" : std::string(m.payload_text()));
    return tags;
  }

 private:
  int receiver_ = -1, sender_ = -1;
  sockaddr_in address_ = {};
};

const Mac kZero = {0, 0, 0, 0, 0, 0};
const Mac kServer = {0x02, 0, 0, 0, 0, 0xAA};

TEST(CardFilter, KeepsOnlyWhatTheCardMayAccept) {
  // The second card's first four bytes are zero: an address that matches the all-zero
  // destination in its first half must still be told apart from it.
  const Mac cards[] = {{0x52, 0x54, 0x00, 0x12, 0x34, 0x56}, {0, 0, 0, 0, 0x12, 0x34}};
  for (const Mac& own : cards) {
    SCOPED_TRACE(int(own[0]));
    Loopback lan;
    ASSERT_TRUE(admit_only_datagrams_for(lan.receiver(), own.data()));
    Mac first_half = own, second_half = own, other = own;
    first_half[5] ^= 1;   // differs in the last two bytes only
    second_half[0] ^= 1;  // differs in the first four only
    other[3] ^= 0x80;
    lan.send(kServer, own, "to us");
    lan.send(kServer, kZero, "to anyone");
    lan.send(kServer, first_half, "to a neighbour (last bytes)");
    lan.send(kServer, second_half, "to a neighbour (first bytes)");
    lan.send(kServer, other, "to another router");
    lan.send(own, kZero, "our own announcement");
    lan.send(own, own, "from us to us");
    lan.send(kZero, own, "from nobody to us");
    uint8_t header[kHeaderSize - 1] = {};
    memcpy(header + 6, own.data(), 6);
    lan.send_bytes(header, sizeof header);  // one byte short of a header
    lan.send_bytes(header, 0);
    EXPECT_EQ(lan.received(),
              (std::vector<std::string>{"to us", "to anyone", "from nobody to us"}));
  }
}

TEST(CardFilter, ServerSocketDropsOnlyItsOwnDatagrams) {
  Loopback lan;
  ASSERT_TRUE(ignore_own_datagrams(lan.receiver(), kServer.data()));
  const Mac router = {0x02, 0, 0, 0, 0, 0x01};
  lan.send(router, kServer, "request");
  lan.send(router, kZero, "announcement");
  lan.send(kServer, router, "our reply");
  lan.send(router, router, "to another");
  EXPECT_EQ(lan.received(), (std::vector<std::string>{"request", "announcement", "to another"}));
}

}  // namespace
