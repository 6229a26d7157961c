// One datagram of the installation protocol: a 20-byte header (sender's and addressee's
// hardware addresses, payload length, sequence number, acknowledgement count; little-endian)
// followed by at most 4076 payload bytes. Shared by the installer and the install server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

constexpr size_t kHeaderSize = 20;
constexpr size_t kMaxMessage = 4096;
constexpr size_t kMaxPayload = kMaxMessage - kHeaderSize;  // 4076
constexpr uint16_t kProtocolPort = 5000;

using HardwareAddress = uint8_t[6];

struct NetMessage {
  uint8_t bytes[kMaxMessage];

  NetMessage() { clear(); }
  // Zeroes the whole buffer; every message is built in a cleared buffer.
  void clear() { memset(bytes, 0, sizeof bytes); }

  uint8_t* source() { return bytes; }
  const uint8_t* source() const { return bytes; }
  uint8_t* destination() { return bytes + 6; }
  const uint8_t* destination() const { return bytes + 6; }
  uint16_t length() const { return get16(14); }
  uint16_t sequence() const { return get16(16); }
  uint16_t acknowledgement() const { return get16(18); }
  void set_length(uint16_t v) { put16(14, v); }
  void set_sequence(uint16_t v) { put16(16, v); }
  void set_acknowledgement(uint16_t v) { put16(18, v); }

  uint8_t* payload() { return bytes + kHeaderSize; }
  const uint8_t* payload() const { return bytes + kHeaderSize; }
  // The payload as the header announces it, never past the buffer.
  std::string_view payload_text() const {
    size_t n = length() < kMaxPayload ? length() : kMaxPayload;
    return std::string_view(reinterpret_cast<const char*>(payload()), n);
  }
  // Copies text into the payload (cut at kMaxPayload) and returns the count; the header's
  // length field is left to stamp_header.
  size_t put_payload(std::string_view text) {
    size_t n = text.size() < kMaxPayload ? text.size() : kMaxPayload;
    memcpy(payload(), text.data(), n);
    return n;
  }

 private:
  uint16_t get16(size_t at) const { return uint16_t(bytes[at] | (bytes[at + 1] << 8)); }
  void put16(size_t at, uint16_t v) {
    bytes[at] = uint8_t(v);
    bytes[at + 1] = uint8_t(v >> 8);
  }
};

inline bool is_zero_address(const uint8_t* address) {
  static const uint8_t kZero[6] = {};
  return memcmp(address, kZero, 6) == 0;
}

// "%02X:%02X:%02X:%02X:%02X:%02X" of the address (18 bytes with the terminator).
void format_hardware_address(const uint8_t* address, char (&text)[18]);

// The payload of a received datagram of received_length bytes starts with keyword: only
// bytes that arrived in this datagram are compared.
bool payload_begins_with(const NetMessage& message, size_t received_length,
                         std::string_view keyword);
