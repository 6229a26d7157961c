#include "server_cards.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "network/linux_network.h"
#include "network/net_message.h"

namespace {

bool card_request(int s, unsigned long request, const std::string& name, ifreq& r) {
  memset(&r, 0, sizeof r);
  strncpy(r.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return ioctl(s, request, &r) == 0;
}

}  // namespace

std::vector<std::string> cards_that_are_up() {
  std::vector<std::string> names;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return names;
  if (struct if_nameindex* list = if_nameindex()) {
    for (struct if_nameindex* i = list; i->if_index != 0; ++i) {
      ifreq r;
      if (!card_request(s, SIOCGIFFLAGS, i->if_name, r)) continue;
      if (!(r.ifr_flags & IFF_UP) || (r.ifr_flags & IFF_LOOPBACK)) continue;
      if (!card_request(s, SIOCGIFHWADDR, i->if_name, r)) continue;
      if (is_zero_address(reinterpret_cast<const uint8_t*>(r.ifr_hwaddr.sa_data))) continue;
      names.push_back(i->if_name);
    }
    if_freenameindex(list);
  }
  close(s);
  return names;
}

bool open_server_card(const std::string& name, ServerCard& card, std::string& error) {
  card.name = name;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    error = std::string("socket: ") + strerror(errno);
    return false;
  }
  ifreq r;
  int on = 1;
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(kProtocolPort);
  const char* step = nullptr;
  errno = 0;
  if (!card_request(s, SIOCGIFHWADDR, name, r))
    step = "no such card";
  else if (memcpy(card.address, r.ifr_hwaddr.sa_data, 6), is_zero_address(card.address))
    step = "card has no hardware address";
  else if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    step = "broadcast not permitted";
  else if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), socklen_t(name.size() + 1)) != 0)
    step = "cannot bind to the card";
  else if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    step = "cannot bind port 5000";
  if (step) {
    error = std::string(step) + (errno ? std::string(": ") + strerror(errno) : "");
    close(s);
    return false;
  }
  // Room for a burst of requests from many routers.
  int size = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ignore_own_datagrams(s, card.address);  // our own broadcast replies come back to us
  card.socket = s;
  return true;
}

bool send_on_card(const ServerCard& card, std::string_view bytes) {
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = INADDR_BROADCAST;
  to.sin_port = htons(kProtocolPort);
  return sendto(card.socket, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof to) == ssize_t(bytes.size());
}
