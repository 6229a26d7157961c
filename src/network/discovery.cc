#include "network/discovery.h"

#include <string_view>

#include "network/file_transfer.h"
#include "network/net_context.h"
#include "network/network.h"
#include "system/output.h"

namespace {

// Without a card the search waits this long before it looks for cards again, and says so on
// the console only every tenth time.
constexpr uint64_t kCardRetryPause = 1000000;
constexpr unsigned kCardRetryMessageEvery = 10;

constexpr uint32_t kConfirmTimeout = 1000000;
constexpr int kConfirmTries = 5;

// DSCV, two empty reserved lines, the label, the architecture, and a zero byte.
uint16_t build_announcement(NetMessage& message, const std::string& label) {
  message.clear();
  std::string text = "DSCV\n\n\n" + label + "\ni386\n";
  text.push_back('\0');
  return uint16_t(message.put_payload(text));
}

// Reads an offer of received bytes. False for a malformed one; keep tells line 3.
bool parse_offer(const NetMessage& offer, size_t received, bool& keep) {
  std::string_view payload = offer.payload_text();
  if (payload.size() > received - kHeaderSize) return false;
  size_t first = payload.find('\n');
  if (first == std::string_view::npos) return false;
  size_t second = payload.find('\n', first + 1);
  if (second == std::string_view::npos || second - first - 1 > kMaxOfferText) return false;
  size_t third = payload.find('\n', second + 1);
  keep = third != std::string_view::npos && payload.substr(second + 1, third - second - 1) == "keep";
  return true;
}

}  // namespace

bool discover_server(NetContext& context, const std::string& label) {
  NetMessage message;
  for (;;) {
    bool keep = false;
    broadcast_to_all(context, message, build_announcement(message, label));
    size_t received = 0;
    bool offered = false;
    while (!offered && wait_for_keyword(context, message, "OFFR", &received))
      offered = parse_offer(message, received, keep);
    if (!offered) continue;
    NetInterface& card = *context.selected_interface();
    NetMessage confirm, answer;
    stamp_header(context.session, confirm, uint16_t(confirm.put_payload("YACK\n")));
    if (request_reply(card, context.session, confirm, answer, kConfirmTimeout, kConfirmTries) < 0)
      continue;
    context.transfer = std::make_unique<FileTransfer>(card, context.session);
    return keep;
  }
}

bool find_install_server(NetContext& context, const std::string& label) {
  for (unsigned retries = 0;; ++retries) {
    if (retries % kCardRetryMessageEvery == 0) out_printf("\nWaiting for installation server...\n");
    if (context.interfaces.empty()) {
      if (retries % kCardRetryMessageEvery == 0)
        out_printf("\nCouldn't find any installation server on network\n");
      out_flush();
      for (uint64_t left = kCardRetryPause; left > 0;)
        if (context.network.wait(nullptr, nullptr, 0, left) >= 0) break;
      context.transfer.reset();  // it would point at a card of the old list
      bring_up_interfaces(context.network, context.interfaces);
      context.broadcast_count = 0;
      continue;
    }
    out_flush();
    return discover_server(context, label);
  }
}
