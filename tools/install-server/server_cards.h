// The server's cards: one UDP socket per card, bound to port 5000 on that card alone, that
// may broadcast. Nothing about the card is changed (no privileges needed beyond the port and
// the device binding).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ServerCard {
  std::string name;
  uint8_t address[6] = {};
  int socket = -1;
};

// Every card that is up, is not a loopback card and has a hardware address.
std::vector<std::string> cards_that_are_up();

// Opens the card's socket; false with a reason in error.
bool open_server_card(const std::string& name, ServerCard& card, std::string& error);

// One datagram to 255.255.255.255 port 5000 through the card.
bool send_on_card(const ServerCard& card, std::string_view bytes);
