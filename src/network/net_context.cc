#include "network/net_context.h"

#include <cerrno>
#include <vector>

#include "network/file_transfer.h"
#include "network/network.h"

NetContext::NetContext(Network& network) : network(network) {}

NetContext::~NetContext() {
  transfer.reset();
  close_interfaces(interfaces);
}

NetInterface* NetContext::selected_interface() const {
  if (selected < 0 || size_t(selected) >= interfaces.size()) return nullptr;
  return interfaces[size_t(selected)].get();
}

bool broadcast_to_all(NetContext& context, NetMessage& message, uint16_t payload_length) {
  context.broadcast_count += 1;
  if (context.broadcast_count >= kBroadcastsPerCardScan) {
    // Picks up cards whose driver came later. The transfer may point at an old card.
    context.transfer.reset();
    bring_up_interfaces(context.network, context.interfaces);
    context.broadcast_count = 0;
  }
  context.wait_time = kListeningWindow;
  context.selected = -1;
  PeerSession& session = context.session;
  session.reset();
  for (auto& card : context.interfaces) {
    memcpy(session.own_address, card->hardware_address, 6);
    stamp_header(session, message, payload_length);
    session.sent = session.received = 0;
    if (send_datagram(*card, message.bytes, kHeaderSize + payload_length) < 0) return false;
  }
  return true;
}

bool wait_for_keyword(NetContext& context, NetMessage& message, std::string_view keyword,
                      size_t* received_length) {
  PeerSession& session = context.session;
  for (;;) {
    size_t count = context.interfaces.size();
    std::vector<int> sockets(count);
    std::unique_ptr<bool[]> ready(new bool[count + 1]);
    for (size_t i = 0; i < count; ++i) sockets[i] = context.interfaces[i]->socket;
    int n = context.network.wait(sockets.data(), ready.get(), count, context.wait_time);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    for (size_t i = 0; i < count; ++i) {
      if (!ready[i]) continue;
      NetInterface& card = *context.interfaces[i];
      for (;;) {
        int received = receive_datagram(card, message);
        if (received <= 0) break;
        session.reset();
        memcpy(session.own_address, card.hardware_address, 6);
        if (!accept_message(session, message, size_t(received))) continue;
        if (is_zero_address(message.destination())) continue;
        if (message.length() == 0) continue;
        if (!payload_begins_with(message, size_t(received), keyword)) continue;
        context.selected = int(i);
        memcpy(session.peer_address, message.source(), 6);
        if (received_length) *received_length = size_t(received);
        return true;
      }
    }
  }
}

int request_reply(NetInterface& interface, PeerSession& session, const NetMessage& request,
                  NetMessage& reply, uint32_t timeout_us, int tries) {
  Network& network = *interface.network;
  size_t size = kHeaderSize + request.length();
  for (int attempt = 0; attempt < tries; ++attempt) {
    int sent = send_datagram(interface, request.bytes, size);
    if (sent < 0 || size_t(sent) < size) return -1;
    uint64_t now = network.now_microseconds();
    uint64_t deadline = now + timeout_us;
    while (now < deadline) {
      uint64_t left = deadline - now;
      bool ready = false;
      int n = network.wait(&interface.socket, &ready, 1, left);
      if (n > 0 && ready) {
        int received = receive_datagram(interface, reply);
        if (received >= 0 && accept_message(session, reply, size_t(received))) return received;
      }
      uint64_t later = network.now_microseconds();
      // A clock that cannot be read or runs backwards must not hold the attempt for ever.
      now = later > now ? later : now + (n == 0 ? left : 1);
    }
  }
  return -1;
}
