#include "network/file_transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "network/net_context.h"
#include "network/network.h"
#include "pkgmgr/install_child.h"
#include "system/child_slot.h"
#include "system/output.h"

namespace {

constexpr uint64_t kTerminationInterval = 1000000;

// A request with a four-letter payload, stamped by the session.
void build_request(PeerSession& session, NetMessage& message, std::string_view keyword) {
  message.clear();
  stamp_header(session, message, uint16_t(message.put_payload(keyword)));
}

}  // namespace

NextFile open_next_file(FileTransfer& transfer) {
  transfer.total = transfer.position = transfer.size = transfer.block_length = 0;
  transfer.name.clear();
  NetMessage request;
  build_request(*transfer.session, request, "RETR");
  if (request_reply(*transfer.interface, *transfer.session, request, transfer.reply,
                    kRetrTimeout, kRetrTries) < 0)
    return NextFile::Failed;
  // The accepted reply's length field matches its size: nothing past it is read.
  std::string_view payload = transfer.reply.payload_text();
  if (payload.substr(0, 4) != "FILE") return NextFile::End;
  size_t first = payload.find('\n');
  if (first == std::string_view::npos) return NextFile::End;
  size_t second = payload.find('\n', first + 1);
  if (second == std::string_view::npos) return NextFile::End;
  size_t third = payload.find('\n', second + 1);
  // A size line without its newline: the announcement is incomplete, taken as no file.
  if (third == std::string_view::npos) return NextFile::End;
  std::string_view name = payload.substr(first + 1, second - first - 1);
  if (name.size() >= kMaxFileName || name.find('\0') != std::string_view::npos)
    return NextFile::Failed;
  std::string size_text(payload.substr(second + 1, third - second - 1));
  long size = strtol(size_text.c_str(), nullptr, 10);
  if (size < 0) return NextFile::End;
  transfer.name = std::string(name);
  transfer.size = int32_t(size > INT32_MAX ? INT32_MAX : size);
  return NextFile::Opened;
}

int read_file_data(FileTransfer& transfer, void* buffer, size_t max) {
  if (transfer.position == transfer.block_length) {
    NetMessage request;
    build_request(*transfer.session, request, "RETR");
    if (request_reply(*transfer.interface, *transfer.session, request, transfer.reply,
                      kRetrTimeout, kRetrTries) < 0)
      return -1;
    transfer.block_length = transfer.reply.length();
    transfer.position = 0;
    if (transfer.block_length == 0) return 0;
  }
  size_t left = size_t(transfer.block_length - transfer.position);
  size_t n = max < left ? max : left;
  memcpy(buffer, transfer.reply.payload() + transfer.position, n);
  transfer.total += int(n);
  transfer.position += int(n);
  return int(n);
}

void find_driver_server(NetContext& context, const std::string& kernel_release) {
  NetMessage message;
  for (;;) {
    message.clear();
    std::string text = "DRVR\n" + kernel_release;
    text.push_back('\0');
    broadcast_to_all(context, message, uint16_t(message.put_payload(text)));
    if (wait_for_keyword(context, message, "OFDR")) return;
  }
}

bool install_from_transfer(NetContext& context, const InstallChildRequest& request,
                           bool* installed) {
  InstallChild child(request);
  if (!child.started()) {
    out_printf("\nFATAL ERROR: couldn't start install\n");
    return false;
  }
  char buffer[4096];
  bool feeding = true;
  for (;;) {
    int n = read_file_data(*context.transfer, buffer, sizeof buffer);
    if (n < 0) {
      out_printf("\nFATAL ERROR: bad network connection\n");
      child.finish();
      return false;
    }
    if (n == 0) break;
    // A child that stopped reading has ended this file; the server still sends the rest.
    if (feeding) feeding = child.write(buffer, size_t(n));
  }
  bool done = child.finish();
  if (installed) *installed = done;
  return true;
}

bool request_start(NetContext& context) {
  NetInterface* card = context.selected_interface();
  if (!card) return false;
  NetMessage request, reply;
  build_request(context.session, request, "STRT");
  return request_reply(*card, context.session, request, reply, kStartTimeout, kStartTries) >= 0;
}

void wait_for_termination(NetContext& context) {
  NetInterface* card = context.selected_interface();
  if (!card) return;
  NetMessage request, reply;
  build_request(context.session, request, "WTRM");
  size_t size = kHeaderSize + request.length();
  // The console is watched next to the socket until waiting on it fails (a closed standard
  // input, say); then only the socket is, so the one-second pace holds.
  int descriptors[2] = {card->socket, 0};
  size_t watched = 2;
  for (;;) {
    send_datagram(*card, request.bytes, size);
    uint64_t left = kTerminationInterval;
    for (;;) {
      bool ready[2] = {false, false};
      int n = context.network.wait(descriptors, ready, watched, left);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (watched == 2) {
          watched = 1;
          continue;
        }
        break;
      }
      if (n == 0) break;
      if (watched == 2 && ready[1]) return;
      int received = receive_datagram(*card, reply);
      if (received <= 0) break;
      if (accept_message(context.session, reply, size_t(received)) &&
          payload_begins_with(reply, size_t(received), "TERM"))
        return;
    }
  }
}
