// One usable network card: its hardware address and its broadcast socket on UDP port 5000.
// The list of cards is built from /proc/net/dev (through the root prefix), in its order.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "network/net_message.h"

class Network;

struct NetInterface {
  Network* network = nullptr;  // the seam its socket belongs to (not owned)
  std::string name;
  HardwareAddress hardware_address = {};
  int socket = -1;
  sockaddr_in destination = {};  // 255.255.255.255, port 5000
  sockaddr_in last_sender = {};  // the sender of the last datagram received
};

using InterfaceList = std::vector<std::unique_ptr<NetInterface>>;

// Builds the list of usable cards: every /proc/net/dev entry with a non-zero hardware address
// whose socket could be set up completely (switched on, see Network::open_card_socket); a
// card whose socket cannot be set up is left out silently. Returns false, with an empty list,
// when /proc/net/dev cannot be read, the query socket cannot be opened or a hardware-address
// query fails.
bool bring_up_interfaces(Network& network, InterfaceList& list);

// The interface names of a /proc/net/dev text: the first word of every line after the two
// headings, cut at its first ':' and at 15 characters.
std::vector<std::string> interface_names(const std::string& proc_net_dev);

// Closes the card's socket if its descriptor is greater than 0.
void close_interface(NetInterface& interface);
// Closes every card and empties the list.
void close_interfaces(InterfaceList& list);

// One datagram of length bytes to the card's destination; returns what the send returns.
int send_datagram(NetInterface& interface, const void* bytes, size_t length);
// One datagram of at most 4096 bytes into message, its sender kept in last_sender. Returns
// the byte count, or -1 when nothing could be received, the sender's port is not 5000 or the
// datagram was longer than 4096 bytes.
int receive_datagram(NetInterface& interface, NetMessage& message);
