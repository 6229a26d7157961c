// The state of one network installation (its cards, the session with the chosen server, the
// current file transfer, the listening window) and the transport operations built on it:
// broadcast to every card, wait for an answer by keyword, request with retransmission.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "network/net_interface.h"
#include "network/net_message.h"
#include "network/peer_session.h"

class Network;
struct FileTransfer;

// A broadcast rebuilds the card list first once this many broadcasts have been made on it.
constexpr uint32_t kBroadcastsPerCardScan = 60;
constexpr uint64_t kListeningWindow = 1000000;  // microseconds after one broadcast

struct NetContext {
  explicit NetContext(Network& network);
  ~NetContext();  // closes every card and frees the transfer
  NetContext(const NetContext&) = delete;
  NetContext& operator=(const NetContext&) = delete;

  uint32_t interface_count() const { return uint32_t(interfaces.size()); }
  // The card on which the server answered, or null while none.
  NetInterface* selected_interface() const;

  Network& network;
  InterfaceList interfaces;
  int selected = -1;
  PeerSession session;
  std::unique_ptr<FileTransfer> transfer;
  uint32_t broadcast_count = 0;  // broadcasts since the card list was last built
  uint64_t wait_time = 0;        // microseconds left of the current listening window
};

// Sends message (stamped anew for each card, so every copy carries sequence 1 and
// acknowledgement 0 and its card's address) on every card, after forgetting the server and
// opening a new one-second listening window. Every 60th call rebuilds the card list first.
// False when a send fails; true otherwise, also with no card at all.
bool broadcast_to_all(NetContext& context, NetMessage& message, uint16_t payload_length);

// Listens on every card, within what is left of the listening window, for a datagram that
// opens a session (sequence 1, acknowledgement 0, addressed to the card that received it)
// and whose payload begins with keyword. On true the sender is the peer, its card selected,
// and message holds the datagram (received_length its size when not null). False when the
// window is over or waiting fails.
bool wait_for_keyword(NetContext& context, NetMessage& message, std::string_view keyword,
                      size_t* received_length = nullptr);

// Sends request (already stamped) and waits timeout_us for an accepted reply, up to tries
// times, always with the same datagram. Returns the reply's size, or -1 when no accepted
// reply came or a send came back short. The reply's payload is not looked at.
int request_reply(NetInterface& interface, PeerSession& session, const NetMessage& request,
                  NetMessage& reply, uint32_t timeout_us, int tries);
