// The session of one installer with one server: running counts of datagrams sent and
// accepted, and the two hardware addresses. The same rules number and check datagrams on both
// sides of the protocol (the install server keeps one session per router).
#pragma once

#include <cstddef>
#include <cstdint>

#include "network/net_message.h"

struct PeerSession {
  uint32_t sent = 0;      // datagrams stamped; the next one carries sent + 1
  uint32_t received = 0;  // datagrams accepted; the next accepted one carries received + 1
  HardwareAddress own_address = {};
  HardwareAddress peer_address = {};  // all zero while no peer is chosen

  // Forgets the peer: counters 0, peer address all zero (the own address stays).
  void reset() {
    sent = received = 0;
    memset(peer_address, 0, sizeof peer_address);
  }
};

// Fills the header of an outgoing message: length, acknowledgement = received, the next
// sequence number (sent is advanced), own address as source, peer address as destination.
// The counters are 32-bit; the header carries their low 16 bits.
void stamp_header(PeerSession& session, NetMessage& message, uint16_t payload_length);

// Whether a received datagram of received_length bytes belongs to the session; on acceptance
// received is advanced. Rejects, in this order: shorter than the header (the header area is
// then cleared), a length field that disagrees with the size, our own source address, a
// destination that is neither ours nor all zero (all zero only while no peer is chosen), a
// source other than the chosen peer, an acknowledgement of more than was sent, a sequence
// number other than received + 1 (so a session takes at most 65535 datagrams).
bool accept_message(PeerSession& session, NetMessage& message, size_t received_length);
