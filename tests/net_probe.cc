// The installer's network code, driven from the command line for the namespace tests and the
// throughput benchmark: brings up the cards, optionally fetches a driver package, finds the
// install server, fetches every file into OUTDIR and ends with the WTRM/TERM exchange.
//
//   net_probe [--driver RELEASE] [--label LABEL] [--no-start] [--digest] OUTDIR
//
// --digest adds each file's SHA-1 to its line; OUTDIR "-" then keeps no file (a lab of many
// routers compares digests, not copies). Prints one line per step, and last the time since
// its start and the replies received; exits 0 when everything was fetched, 1 on a usage
// error, 2 when the card list is empty, 3 when the server refused to start, 4 when a
// transfer failed.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "network/discovery.h"
#include "network/file_transfer.h"
#include "network/linux_network.h"
#include "network/net_context.h"
#include "integrity/hex.h"
#include "integrity/sha1.h"

namespace {

// Copies the transfer's current file to path (nowhere when path is empty) and hashes it
// into digest when that is not null; false when the server stopped answering.
bool fetch(FileTransfer& t, const std::string& path, Sha1* digest = nullptr) {
  int fd = -1;
  if (!path.empty() && (fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644)) < 0) {
    perror(path.c_str());
    return false;
  }
  char buffer[4096];
  int n;
  while ((n = read_file_data(t, buffer, sizeof buffer)) > 0) {
    if (digest) digest->update(buffer, size_t(n));
    if (fd >= 0 && write(fd, buffer, size_t(n)) != n) n = -1;
  }
  if (fd >= 0) close(fd);
  return n == 0;
}

uint64_t now_us() {
  timeval t;
  gettimeofday(&t, nullptr);
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_usec);
}

std::string mac(const uint8_t* a) {
  char text[18];
  format_hardware_address(a, text);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string driver, label = "probe", out;
  bool start = true, digest = false;
  uint64_t began = now_us();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--driver" && i + 1 < argc) driver = argv[++i];
    else if (a == "--label" && i + 1 < argc) label = argv[++i];
    else if (a == "--no-start") start = false;
    else if (a == "--digest") digest = true;
    else out = a;
  }
  if (out.empty()) {
    fprintf(stderr,
            "usage: net_probe [--driver RELEASE] [--label LABEL] [--no-start] [--digest] OUTDIR\n");
    return 1;
  }
  bool keep_files = !(digest && out == "-");
  setvbuf(stdout, nullptr, _IOLBF, 0);
  LinuxNetwork network;
  NetContext context(network);
  bring_up_interfaces(network, context.interfaces);
  printf("cards %u\n", context.interface_count());
  if (context.interfaces.empty()) return 2;
  if (!driver.empty()) {
    find_driver_server(context, driver);
    context.transfer = std::make_unique<FileTransfer>(*context.selected_interface(), context.session);
    if (open_next_file(*context.transfer) != NextFile::Opened) {
      printf("no driver\n");
      return 4;
    }
    if (!fetch(*context.transfer, out + "/driver-" + context.transfer->name)) {
      printf("driver failed\n");
      return 4;
    }
    printf("driver %s %d\n", context.transfer->name.c_str(), context.transfer->total);
  }
  bool keep = discover_server(context, label);
  printf("server %s keep %d card %s\n", mac(context.session.peer_address).c_str(), keep ? 1 : 0,
         context.selected_interface()->name.c_str());
  if (!start) return 0;
  if (!request_start(context)) {
    printf("start refused\n");
    return 3;
  }
  for (;;) {
    context.transfer = std::make_unique<FileTransfer>(*context.selected_interface(), context.session);
    NextFile next = open_next_file(*context.transfer);
    if (next == NextFile::End) break;
    FileTransfer& t = *context.transfer;
    if (next == NextFile::Failed || t.name.empty() || t.name.find('/') != std::string::npos ||
        t.name[0] == '.') {
      printf("failed after %u replies\n", context.session.received);
      return 4;
    }
    uint64_t started = now_us();
    Sha1 hash;
    if (!fetch(t, keep_files ? out + "/" + t.name : std::string(), digest ? &hash : nullptr)) {
      printf("failed during %s after %u replies\n", t.name.c_str(), context.session.received);
      return 4;
    }
    printf("file %s %d %d %llu us", t.name.c_str(), t.size, t.total,
           (unsigned long long)(now_us() - started));
    if (digest) {
      uint8_t sum[Sha1::kDigestSize];
      hash.finish(sum);
      printf(" sha1 %s", hex(sum, sizeof sum).c_str());
    }
    printf("\n");
  }
  printf("end\n");
  wait_for_termination(context);
  printf("terminated\n");
  printf("total %llu us, %u replies\n", (unsigned long long)(now_us() - began),
         context.session.received);
  return 0;
}
