// The stop-and-wait bound of the transfer protocol on a path: the time of one round trip of
// a 24-byte request and a 4096-byte reply over UDP, the shape of one RETR and its block.
//
//   udp_round_trip serve ADDRESS          answers every request with 4096 bytes (until killed)
//   udp_round_trip measure ADDRESS COUNT  prints the median round trip in microseconds
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kPort = 5999;

uint64_t now_us() {
  timeval t;
  gettimeofday(&t, nullptr);
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_usec);
}

sockaddr_in address(const char* text, int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: udp_round_trip serve ADDRESS | measure ADDRESS COUNT\n");
    return 2;
  }
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  char buffer[4096] = {};
  if (strcmp(argv[1], "serve") == 0) {
    sockaddr_in local = address(argv[2], kPort);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      perror("bind");
      return 1;
    }
    for (;;) {
      sockaddr_in from;
      socklen_t size = sizeof from;
      if (recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size) < 0)
        return 1;
      sendto(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }
  int count = argc > 3 ? atoi(argv[3]) : 5000;
  sockaddr_in to = address(argv[2], kPort);
  timeval limit = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::vector<uint64_t> times;
  for (int i = 0; i < count; ++i) {
    uint64_t start = now_us();
    sendto(s, buffer, 24, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (recv(s, buffer, sizeof buffer, 0) != 4096) continue;
    times.push_back(now_us() - start);
  }
  if (times.empty()) return 1;
  std::sort(times.begin(), times.end());
  printf("%llu\n", (unsigned long long)times[times.size() / 2]);
  return 0;
}
