// install-server: installs routers on the local network. It answers their announcements with
// an offer, hands each router the packages and configuration scripts of a directory, and, as
// driver server, the driver package for the router's kernel release.
//
//   install-server [--keep] [--block-size N] [--interface IF]... DIR
//
// DIR holds the packages (*.kpk) and configuration scripts (*.scr); DIR/drivers/R.kpk is the
// driver package for kernel release R. Without --interface it serves on every card that is
// up. Each reply carries up to N bytes of file data: by default as many as keep it within
// one Ethernet frame (1452), at most 4076. Ctrl-C ends it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "router_session.h"
#include "server_cards.h"
#include "status_display.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

uint64_t now_us() {
  timeval t;
  gettimeofday(&t, nullptr);
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_usec);
}

int usage() {
  fprintf(stderr, "usage: install-server [--keep] [--block-size N] [--interface IF]... DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--keep") {
      options.keep = true;
    } else if (a == "--block-size" && i + 1 < argc) {
      char* end = nullptr;
      unsigned long n = strtoul(argv[++i], &end, 10);
      if (!end || *end || n == 0 || n > kMaxPayload) {
        fprintf(stderr, "install-server: --block-size takes 1 to %zu\n", kMaxPayload);
        return 2;
      }
      options.block_size = n;
    } else if ((a == "--interface" || a == "-i") && i + 1 < argc) {
      names.push_back(argv[++i]);
    } else if (a.rfind("--interface=", 0) == 0) {
      names.push_back(a.substr(12));
    } else if (a.empty() || a[0] == '-' || !options.dir.empty()) {
      return usage();
    } else {
      options.dir = a;
    }
  }
  if (options.dir.empty()) return usage();
  struct stat st;
  if (stat(options.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "install-server: %s is not a directory\n", options.dir.c_str());
    return 1;
  }
  if (names.empty()) names = cards_that_are_up();
  if (names.empty()) {
    fprintf(stderr, "install-server: no card is up\n");
    return 1;
  }
  std::vector<ServerCard> cards;
  for (const std::string& name : names) {
    ServerCard card;
    std::string error;
    if (!open_server_card(name, card, error)) {
      fprintf(stderr, "install-server: %s: %s\n", name.c_str(), error.c_str());
      return 1;
    }
    cards.push_back(card);
  }

  struct sigaction action = {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SessionTable table(options);
  StatusDisplay display(isatty(1));
  std::vector<std::string> card_names;
  for (const ServerCard& c : cards) card_names.push_back(c.name);
  std::vector<std::string> intro;
  for (const ServerCard& c : cards)
    intro.push_back("serving on " + c.name + " (" + mac_text(c.address) + ")");
  intro.push_back(std::to_string(table.catalog().size()) + " files in " + options.dir +
                  (options.keep ? ", routers keep their configuration" : ""));
  intro.insert(intro.end(), table.catalog_warnings().begin(), table.catalog_warnings().end());
  display.log(intro);

  std::vector<pollfd> polls;
  for (const ServerCard& c : cards) polls.push_back({c.socket, POLLIN, 0});
  NetMessage message;
  uint64_t next_tick = 0;
  while (!g_stop) {
    int n = poll(polls.data(), polls.size(), 250);
    if (n < 0 && errno != EINTR) {
      perror("install-server: poll");
      return 1;
    }
    uint64_t now = now_us();
    std::vector<std::string> log;
    for (size_t i = 0; n > 0 && i < cards.size(); ++i) {
      if (!(polls[i].revents & POLLIN)) continue;
      // One datagram per card and poll: a router waits for each reply before it asks again,
      // so a second one is rarely waiting, and the next poll finds it at once if it is.
      sockaddr_in from;
      socklen_t size = sizeof from;
      // MSG_TRUNC tells a datagram longer than a message by its whole size: it is dropped,
      // not taken cut to the buffer.
      ssize_t got = recvfrom(cards[i].socket, message.bytes, kMaxMessage, MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 0 || size_t(got) > kMaxMessage || ntohs(from.sin_port) != kProtocolPort) continue;
      std::string_view reply = table.handle(int(i), cards[i].address, message, size_t(got), now, log);
      if (!reply.empty() && !send_on_card(cards[i], reply))
        log.push_back(std::string("cannot send on ") + cards[i].name + ": " + strerror(errno));
    }
    if (now >= next_tick) {
      table.expire(now, log);
      display.log(log);
      display.redraw(table.sessions(), card_names, now);
      next_tick = now + 500000;
    } else {
      display.log(log);
      if (!log.empty()) display.redraw(table.sessions(), card_names, now);
    }
  }
  display.finish();
  printf("install-server: stopped\n");
  for (ServerCard& c : cards) close(c.socket);
  return 0;
}
