// install-server: installs routers on the local network. It answers their announcements with
// an offer, hands each router the packages and configuration scripts of a directory, and, as
// driver server, the driver package for the router's kernel release.
//
//   install-server [--keep] [--block-size N] [--log FILE] [--interface IF]... DIR
//
// DIR holds the packages (*.kpk) and configuration scripts (*.scr); DIR/drivers/R.kpk is the
// driver package for kernel release R. A DIR without a package to install or a driver to
// hand out is refused. Without --interface it serves on every card that is up. Each reply
// carries up to N bytes of file data: by default as many as keep it within one Ethernet
// frame (1452), at most 4076.
//
// Dated log lines go to standard output, and with --log also to the end of FILE. On a
// terminal one live line per router sits below them. Output never holds up the routers:
// what a terminal or pipe does not take at once is drawn later or dropped (and counted).
//
// SIGHUP reopens the log file (after log rotation) and reads DIR again at once (it is also
// read again by itself when it changes): routers that start from then on get the new files.
// SIGINT and SIGTERM stop the server (exit status 0).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
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
volatile sig_atomic_t g_reload = 0;
void on_stop(int) { g_stop = 1; }
void on_reload(int) { g_reload = 1; }

// Frames of the live display, and the check for silent routers.
constexpr uint64_t kFrameUs = 250000;
constexpr uint64_t kExpireUs = 500000;
// How long a stopping server waits for a terminal to take its last lines.
constexpr int kLastWordsMs = 500;

uint64_t now_us() {
  timeval t;
  gettimeofday(&t, nullptr);
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_usec);
}

int usage() {
  fprintf(stderr,
          "usage: install-server [--keep] [--block-size N] [--log FILE] [--interface IF]... DIR\n");
  return 2;
}

// A driver server alone serves DIR/drivers/*.kpk and nothing else.
bool has_driver_packages(const std::string& dir) {
  bool found = false;
  if (DIR* d = opendir((dir + "/drivers").c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      struct stat st;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".kpk") == 0 &&
          stat((dir + "/drivers/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
        found = true;
    }
    closedir(d);
  }
  return found;
}

int open_log(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
}

std::string catalog_line(const SessionTable& table, const ServerOptions& options) {
  return std::to_string(table.catalog().size()) + " files (" +
         std::to_string(table.full_catalog().common_packages) + " packages) in " + options.dir +
         (options.keep ? ", routers keep their configuration" : "");
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  std::vector<std::string> names;
  std::string log_path;
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
    } else if (a == "--log" && i + 1 < argc && argv[i + 1][0]) {
      log_path = argv[++i];
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
  SessionTable table(options);
  std::string why;
  bool drivers_only = false;
  if (!table.can_serve(&why)) {
    if (!has_driver_packages(options.dir)) {
      for (const std::string& warning : table.catalog_warnings())
        fprintf(stderr, "install-server: %s\n", warning.c_str());
      fprintf(stderr, "install-server: nothing to serve: %s, and no drivers/*.kpk\n", why.c_str());
      return 1;
    }
    drivers_only = true;
  }
  int log_fd = -1;
  if (!log_path.empty() && (log_fd = open_log(log_path)) < 0) {
    fprintf(stderr, "install-server: %s: %s\n", log_path.c_str(), strerror(errno));
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

  // The stop and reload signals are let in only while the loop waits in ppoll, so that one
  // arriving at any other moment ends that wait at once instead of being missed until it
  // times out.
  sigset_t handled, waiting;
  sigemptyset(&handled);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGHUP);
  sigprocmask(SIG_BLOCK, &handled, &waiting);
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGTERM);
  sigdelset(&waiting, SIGHUP);
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = on_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = on_reload;
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A server started in the background of a shell writes on rather than being stopped.
  signal(SIGTTOU, SIG_IGN);

  fflush(stdout);
  QuietOutput out(1);
  StatusDisplay display(out, isatty(1));
  display.set_log_file(log_fd);
  std::vector<std::string> card_names;
  for (const ServerCard& c : cards) card_names.push_back(c.name);
  std::vector<std::string> intro;
  for (const ServerCard& c : cards)
    intro.push_back("serving on " + c.name + " (" + mac_text(c.address) + ")");
  intro.push_back(catalog_line(table, options));
  if (drivers_only) intro.push_back(why + ": routers get their drivers, and no start");
  intro.insert(intro.end(), table.catalog_warnings().begin(), table.catalog_warnings().end());
  display.log(intro);

  std::vector<pollfd> polls;
  for (const ServerCard& c : cards) polls.push_back({c.socket, POLLIN, 0});
  polls.push_back({-1, POLLOUT, 0});  // standard output while it has bytes waiting
  NetMessage message;
  uint64_t next_frame = 0, next_expire = 0;
  while (!g_stop) {
    std::vector<std::string> log;
    if (g_reload) {
      g_reload = 0;
      log.push_back("SIGHUP: reading the directory again");
      if (!log_path.empty()) {
        int fd = open_log(log_path);
        if (fd < 0) {
          log.push_back("cannot reopen " + log_path + ", logging on into the old file: " +
                        strerror(errno));
        } else {
          if (log_fd >= 0) close(log_fd);
          log_fd = fd;
          display.set_log_file(log_fd);
          log[0] = "SIGHUP: log file reopened, reading the directory again";
        }
      }
      table.refresh_catalog(log);
      display.log(log);
      log.clear();
      next_frame = 0;
    }
    uint64_t now = now_us();
    uint64_t due = std::min(next_frame, next_expire);
    uint64_t wait = due > now ? due - now : 0;
    timespec timeout = {time_t(wait / 1000000), long(wait % 1000000) * 1000};
    // Watched only while output waits: a terminal hung up or a pipe without a reader would
    // otherwise wake every wait at once.
    polls.back().fd = out.pending() > 0 ? out.fd() : -1;
    int n = ppoll(polls.data(), polls.size(), &timeout, &waiting);
    if (n < 0 && errno != EINTR) {
      perror("install-server: poll");
      return 1;
    }
    now = now_us();
    if (n > 0 && polls.back().revents) out.flush();
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
    if (now >= next_expire) {
      // Also reads the directory again when it has changed.
      table.expire(now, log);
      next_expire = now + kExpireUs;
    }
    display.log(log);
    if (now >= next_frame) {
      display.frame(table.sessions(), card_names, now);
      next_frame = now + kFrameUs;
    }
  }
  display.finish("install-server: stopped", kLastWordsMs);
  for (ServerCard& c : cards) close(c.socket);
  if (log_fd >= 0) close(log_fd);
  return 0;
}
