// The seam to the kernel's network: the card queries and bring-up, one broadcast datagram
// socket per card, waiting until descriptors are readable, and the clock. LinuxNetwork
// makes the real calls; tests use FakeNetwork (src/testing), whose clock and peer run in
// simulated time, so the protocol's time-outs are tested without waiting for them.
//
// Descriptors are the seam's own handles; 0 is the console's standard input, which wait()
// may watch next to sockets. Operations return what the system call returns (a count or 0,
// -1 with errno set) unless their line says otherwise.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

class Network {
 public:
  virtual ~Network() = default;

  // Opens the socket on which hardware addresses are asked for; false if it cannot be had.
  virtual bool open_query() = 0;
  virtual void close_query() = 0;
  // The card's hardware address (SIOCGIFHWADDR on the query socket).
  virtual int hardware_address(const std::string& card, uint8_t (&address)[6]) = 0;
  // Switches the card on (up, running, promiscuous; address 0.0.0.0 when it has none) and
  // returns a non-blocking UDP socket with broadcast permitted, tied to the card and bound
  // to port 5000; -1 (nothing left open) if any step fails.
  virtual int open_card_socket(const std::string& card) = 0;
  virtual void close_socket(int socket) = 0;

  // One datagram to 255.255.255.255 port 5000 through the socket's card.
  virtual int send(int socket, const void* bytes, size_t length) = 0;
  // One datagram with its sender: at most max bytes are stored, and the datagram's whole size
  // is returned, more than max when it did not fit; -1 with EAGAIN when none is waiting.
  virtual int receive(int socket, void* buffer, size_t max, sockaddr_in& sender) = 0;

  // Waits until one of the count descriptors is readable or timeout_us has passed, as
  // select does: returns the number of readable ones (marked in ready), 0 at the time-out,
  // -1 with errno (EINTR when a signal interrupted). timeout_us is left holding the unused
  // time.
  virtual int wait(const int* descriptors, bool* ready, size_t count, uint64_t& timeout_us) = 0;

  // Microseconds of the wall clock, 0 if it cannot be read.
  virtual uint64_t now_microseconds() = 0;
};
