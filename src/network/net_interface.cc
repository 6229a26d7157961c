#include "network/net_interface.h"

#include <arpa/inet.h>

#include <fstream>
#include <sstream>

#include "network/network.h"
#include "system/fd_stream.h"
#include "system/root.h"

std::vector<std::string> interface_names(const std::string& proc_net_dev) {
  std::vector<std::string> names;
  std::istringstream lines(proc_net_dev);
  std::string line;
  for (int heading = 0; heading < 2 && std::getline(lines, line); ++heading) {
  }
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    std::string name = word.substr(0, word.find(':'));
    // The kernel's names have at most 15 characters (16 bytes with the terminator).
    if (name.size() > 15) name.resize(15);
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

bool bring_up_interfaces(Network& network, InterfaceList& list) {
  close_interfaces(list);
  FdInStream file(root_path("/proc/net/dev"));
  if (!file.is_open()) return false;
  std::ostringstream text;
  text << file.rdbuf();
  std::vector<std::string> names = interface_names(text.str());
  if (!network.open_query()) return false;
  bool ok = true;
  for (const std::string& name : names) {
    auto card = std::make_unique<NetInterface>();
    card->network = &network;
    card->name = name;
    if (network.hardware_address(name, card->hardware_address) != 0) {
      ok = false;
      break;
    }
    if (is_zero_address(card->hardware_address)) continue;  // the loopback card, for one
    card->socket = network.open_card_socket(name);
    if (card->socket < 0) continue;
    card->destination.sin_family = AF_INET;
    card->destination.sin_addr.s_addr = INADDR_BROADCAST;
    card->destination.sin_port = htons(kProtocolPort);
    list.push_back(std::move(card));
  }
  network.close_query();
  if (!ok) close_interfaces(list);
  return ok;
}

void close_interface(NetInterface& interface) {
  if (interface.socket > 0) interface.network->close_socket(interface.socket);
  interface.socket = -1;
}

void close_interfaces(InterfaceList& list) {
  for (auto& card : list) close_interface(*card);
  list.clear();
}

int send_datagram(NetInterface& interface, const void* bytes, size_t length) {
  return interface.network->send(interface.socket, bytes, length);
}

int receive_datagram(NetInterface& interface, NetMessage& message) {
  int n = interface.network->receive(interface.socket, message.bytes, kMaxMessage,
                                     interface.last_sender);
  if (n < 0) return -1;
  // Cut to the buffer, a longer datagram could pass for a whole message whose header
  // tells the cut length: it is dropped.
  if (size_t(n) > kMaxMessage) return -1;
  if (ntohs(interface.last_sender.sin_port) != kProtocolPort) return -1;
  return n;
}
