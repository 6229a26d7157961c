#include "testing/pty_child.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "system/output.h"

PtyChild::PtyChild(std::function<int()> body) {
  if (openpty(&master_, &terminal_, nullptr, nullptr, nullptr) != 0) return;
  struct termios mode;
  tcgetattr(terminal_, &mode);
  mode.c_oflag &= ~tcflag_t(OPOST);
  tcsetattr(terminal_, TCSANOW, &mode);
  initial_ = mode;
  fflush(stdout);  // nothing of the test runner's own output may reach the terminal
  fflush(stderr);
  pid_ = fork();
  if (pid_ == 0) {
    close(master_);
    dup2(terminal_, 0);
    dup2(terminal_, 1);
    dup2(terminal_, 2);
    if (terminal_ > 2) close(terminal_);
    int status = body();
    out_flush();
    fflush(stdout);
    _exit(status);
  }
}

PtyChild::~PtyChild() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
  if (terminal_ >= 0) close(terminal_);
}

void PtyChild::send(std::string_view keys) {
  while (!keys.empty()) {
    ssize_t n = write(master_, keys.data(), keys.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    keys.remove_prefix(size_t(n));
  }
}

void PtyChild::read_available(int timeout_ms) {
  struct pollfd p = {master_, POLLIN, 0};
  while (poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN)) {
    char buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    output_.append(buffer, size_t(n));
    timeout_ms = 0;
  }
}

bool PtyChild::read_until(std::string_view marker, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (output_.find(marker) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    read_available(int(left.count()));
  }
  return true;
}

int PtyChild::wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    read_available(20);
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
  }
  pid_ = -1;
  read_available(0);
  return status;
}

struct termios PtyChild::attributes() const {
  struct termios mode = {};
  tcgetattr(terminal_, &mode);
  return mode;
}
