#include "network/linux_network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "network/net_message.h"

namespace {

// The query socket is raw with an unused protocol number: it never receives anything.
constexpr int kQueryProtocol = 250;

void name_request(ifreq& request, const std::string& card) {
  memset(&request, 0, sizeof request);
  strncpy(request.ifr_name, card.c_str(), IFNAMSIZ - 1);
}

sockaddr_in ipv4_address(in_addr_t address, uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  return a;
}

// Everything that makes the socket the card's; a step that fails leaves the socket to the
// caller.
bool set_up_card_socket(int s, const std::string& card) {
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;
  if (fcntl(s, F_SETFL, O_NONBLOCK) != 0) return false;
  if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, card.c_str(), socklen_t(card.size() + 1)) != 0)
    return false;
  ifreq request;
  name_request(request, card);
  if (ioctl(s, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags = short(request.ifr_flags | IFF_UP | IFF_RUNNING | IFF_PROMISC);
  if (ioctl(s, SIOCSIFFLAGS, &request) != 0) return false;
  name_request(request, card);
  if (ioctl(s, SIOCGIFADDR, &request) != 0) {
    // A card without an IPv4 address gets 0.0.0.0, so that it takes part in IPv4 at all.
    name_request(request, card);
    sockaddr_in any = ipv4_address(INADDR_ANY, 0);
    memcpy(&request.ifr_addr, &any, sizeof any);
    if (ioctl(s, SIOCSIFADDR, &request) != 0) return false;
  }
  sockaddr_in local = ipv4_address(INADDR_ANY, kProtocolPort);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  // Only a saving: without the filter the session rules still drop the datagrams of the card
  // itself and of other routers.
  name_request(request, card);
  if (ioctl(s, SIOCGIFHWADDR, &request) == 0)
    admit_only_datagrams_for(s, reinterpret_cast<const uint8_t*>(request.ifr_hwaddr.sa_data));
  return true;
}

// The filter's view of a hardware address: its first four bytes and its last two, as the
// filter loads them (in network order).
uint32_t first_four(const uint8_t* a) {
  return uint32_t(a[0]) << 24 | uint32_t(a[1]) << 16 | uint32_t(a[2]) << 8 | a[3];
}
uint32_t last_two(const uint8_t* a) { return uint32_t(a[4]) << 8 | a[5]; }

bool attach_filter(int socket, sock_filter* code, unsigned short count) {
  sock_fprog program = {count, code};
  return setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

}  // namespace

// Offsets of the filters count from the UDP header: the datagram's own header starts at 8,
// its source at 8 and its destination at 14. A load past the end of a datagram ends the
// filter with 0 (drop).

bool ignore_own_datagrams(int socket, const uint8_t* a) {
  uint32_t first = first_four(a), last = last_two(a);
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, first, 0, 2),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, last, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  return attach_filter(socket, code, sizeof code / sizeof code[0]);
}

bool admit_only_datagrams_for(int socket, const uint8_t* a) {
  uint32_t first = first_four(a), last = last_two(a);
  sock_filter code[] = {
      // Shorter than a header: the load of its last byte fails and drops it.
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + kHeaderSize - 1),
      // Sent by this card: drop.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, first, 0, 2),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, last, 9, 0),
      // Addressed to this card: keep.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 14),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, first, 0, 2),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 18),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, last, 4, 0),
      // Addressed to anyone: keep; to anybody else: drop.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 14),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 18),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  return attach_filter(socket, code, sizeof code / sizeof code[0]);
}

bool LinuxNetwork::open_query() {
  close_query();
  query_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, kQueryProtocol);
  return query_ >= 0;
}

void LinuxNetwork::close_query() {
  if (query_ >= 0) close(query_);
  query_ = -1;
}

int LinuxNetwork::hardware_address(const std::string& card, uint8_t (&address)[6]) {
  ifreq request;
  name_request(request, card);
  if (ioctl(query_, SIOCGIFHWADDR, &request) != 0) return -1;
  memcpy(address, request.ifr_hwaddr.sa_data, 6);
  return 0;
}

int LinuxNetwork::open_card_socket(const std::string& card) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  if (!set_up_card_socket(s, card)) {
    int saved = errno;
    close(s);
    errno = saved;
    return -1;
  }
  return s;
}

void LinuxNetwork::close_socket(int socket) {
  if (socket > 0) close(socket);
}

int LinuxNetwork::send(int socket, const void* bytes, size_t length) {
  sockaddr_in to = ipv4_address(INADDR_BROADCAST, kProtocolPort);
  return int(sendto(socket, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
}

int LinuxNetwork::receive(int socket, void* buffer, size_t max, sockaddr_in& sender) {
  socklen_t size = sizeof sender;
  memset(&sender, 0, sizeof sender);
  // MSG_TRUNC: the whole size of a datagram longer than the buffer, not the part that fit.
  return int(recvfrom(socket, buffer, max, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender), &size));
}

int LinuxNetwork::wait(const int* descriptors, bool* ready, size_t count, uint64_t& timeout_us) {
  fd_set set;
  FD_ZERO(&set);
  int highest = -1;
  for (size_t i = 0; i < count; ++i) {
    ready[i] = false;
    if (descriptors[i] < 0 || descriptors[i] >= FD_SETSIZE) continue;
    FD_SET(descriptors[i], &set);
    if (descriptors[i] > highest) highest = descriptors[i];
  }
  timeval left;
  left.tv_sec = time_t(timeout_us / 1000000);
  left.tv_usec = suseconds_t(timeout_us % 1000000);
  int n = select(highest + 1, &set, nullptr, nullptr, &left);
  // Linux leaves the unused time in the time value, also after an interruption.
  timeout_us = uint64_t(left.tv_sec) * 1000000 + uint64_t(left.tv_usec);
  if (n > 0)
    for (size_t i = 0; i < count; ++i)
      ready[i] = descriptors[i] >= 0 && descriptors[i] < FD_SETSIZE && FD_ISSET(descriptors[i], &set);
  return n;
}

uint64_t LinuxNetwork::now_microseconds() {
  timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_usec);
}
