#include "network/net_message.h"

#include <cstdio>

void format_hardware_address(const uint8_t* a, char (&text)[18]) {
  snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4],
           a[5]);
}

bool payload_begins_with(const NetMessage& message, size_t received_length,
                         std::string_view keyword) {
  if (received_length < kHeaderSize) return false;
  std::string_view payload = message.payload_text();
  if (payload.size() > received_length - kHeaderSize) return false;
  return payload.substr(0, keyword.size()) == keyword;
}
