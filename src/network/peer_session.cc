#include "network/peer_session.h"

void stamp_header(PeerSession& session, NetMessage& message, uint16_t payload_length) {
  message.set_length(payload_length);
  message.set_acknowledgement(uint16_t(session.received));
  session.sent += 1;
  message.set_sequence(uint16_t(session.sent));
  memcpy(message.source(), session.own_address, 6);
  memcpy(message.destination(), session.peer_address, 6);
  message.bytes[12] = message.bytes[13] = 0;
}

bool accept_message(PeerSession& session, NetMessage& message, size_t received_length) {
  if (received_length < kHeaderSize) {
    memset(message.bytes, 0, kHeaderSize);
    return false;
  }
  if (received_length != kHeaderSize + message.length()) return false;
  if (memcmp(message.source(), session.own_address, 6) == 0) return false;
  if (!is_zero_address(message.destination())) {
    if (memcmp(message.destination(), session.own_address, 6) != 0) return false;
  } else if (!is_zero_address(session.peer_address)) {
    return false;
  }
  if (!is_zero_address(session.peer_address) &&
      memcmp(message.source(), session.peer_address, 6) != 0)
    return false;
  if (message.acknowledgement() > session.sent) return false;
  // Compared at full width: after 65535 accepted datagrams no 16-bit number fits any more.
  if (uint32_t(message.sequence()) != session.received + 1) return false;
  session.received += 1;
  return true;
}
