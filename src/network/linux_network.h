// The real network calls behind the Network seam: interface ioctls, UDP sockets, select and
// gettimeofday. main() creates the one instance of the run.
#pragma once

#include "network/network.h"

#include <cstdint>

// Makes the kernel drop, before they wake anyone, the datagrams on socket whose header names
// address as their sender: a broadcast is also delivered to the sending host itself, and
// every request would otherwise come back to its own card first. (The session rules reject
// such datagrams anyway; this only saves the work.) False if the filter cannot be attached.
bool ignore_own_datagrams(int socket, const uint8_t* address);

// Makes the kernel keep on socket only the datagrams that a card of hardware address may
// accept: addressed to it or to anyone (all-zero destination), and not sent by it. On a
// segment shared by many routers every reply of the server reaches every card, and without
// this each card's socket would queue, and its owner wake for, every other router's replies.
// Datagrams too short for a header are dropped as well. The session rules still decide; this
// only saves memory and work. False if the filter cannot be attached.
bool admit_only_datagrams_for(int socket, const uint8_t* address);

class LinuxNetwork : public Network {
 public:
  ~LinuxNetwork() override { close_query(); }
  bool open_query() override;
  void close_query() override;
  int hardware_address(const std::string& card, uint8_t (&address)[6]) override;
  int open_card_socket(const std::string& card) override;
  void close_socket(int socket) override;
  int send(int socket, const void* bytes, size_t length) override;
  int receive(int socket, void* buffer, size_t max, sockaddr_in& sender) override;
  int wait(const int* descriptors, bool* ready, size_t count, uint64_t& timeout_us) override;
  uint64_t now_microseconds() override;

 private:
  int query_ = -1;
};
