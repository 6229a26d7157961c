#include "frontend/console.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

char tool_output_path[20] = "/dev/tty9";
int lcd_fd = -1;
TerminalState terminal_state;
volatile std::sig_atomic_t abort_disabled = 0;

namespace {
System* g_abort_system = nullptr;

constexpr char kBell = 0x07;

void ring_bell() {
  out_write(&kBell, 1);
  out_flush();
}

void arm_dots();

void on_alarm(int) {
  int saved_errno = errno;
  // Straight to the descriptor: the interrupted code may be in the middle of buffered output.
  ssize_t ignored = write(1, ".", 1);
  (void)ignored;
  arm_dots();
  errno = saved_errno;
}

void arm_dots() {
  struct sigaction action = {};
  action.sa_handler = on_alarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGALRM, &action, nullptr) == 0) alarm(1);
}
}  // namespace

void set_abort_system(System* system) { g_abort_system = system; }

int read_key() {
  unsigned char c;
  for (;;) {
    ssize_t n = read(0, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

void enter_raw_mode(TerminalState& state) {
  if (state.raw == 1) return;
  tcgetattr(0, &state.saved);
  struct termios raw = state.saved;
  raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSAFLUSH, &raw);
  state.raw = 1;
}

void restore_terminal(TerminalState& state) {
  if (state.raw == 1) {
    tcsetattr(0, TCSAFLUSH, &state.saved);
    state.raw = 0;
  }
  out_text("\033[?25h");
}

bool ask_yes_no(const char* question) {
  out_printf("%s [y/n]:", question);
  for (;;) {
    out_flush();
    int c = read_key();
    // No answer will come: take the safe one.
    if (c < 0 || (isalpha(c) && tolower(c) == 'n')) {
      out_text("n\n");
      out_flush();
      return false;
    }
    if (isalpha(c) && tolower(c) == 'y') {
      out_text("y\n");
      out_flush();
      return true;
    }
    out_write(&kBell, 1);
  }
}

void wait_for_enter() {
  out_flush();
  for (;;) {
    int c = read_key();
    if (c < 0 || c == '\n') return;
    ring_bell();
  }
}

void set_text_attributes(unsigned flags) {
  out_text("\033[m");
  if (flags & kUnderline) out_text("\033[4m");
  if (flags & kReverse) out_text("\033[7m");
  if (flags & kBlink) out_text("\033[5m");
  if (flags & kBold) out_text("\033[1m");
}

void print_line(const char* text, size_t length, bool centred) {
  if (centred && length < 80) {
    static const char kBlanks[40] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                     ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                     ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                     ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    out_write(kBlanks, (80 - length) / 2);
  }
  out_write(text, length);
  out_write("\n", 1);
}

void show_banner(const char* title) {
  enter_raw_mode(terminal_state);
  out_text("\033[?25l");
  out_text("\033[2J\033[H");
  out_printf("Welcome to Quovalen Router Software %s\n", title);
  out_text("Press Ctrl-Alt-Delete to abort\n");
  if (lcd_fd != -1) {
    ssize_t ignored = write(lcd_fd, "flashsetup", 10);
    (void)ignored;
  }
}

void begin_progress(const char* text) {
  out_text(text);
  out_flush();
  arm_dots();
}

void end_progress() {
  out_write("\n", 1);
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
}

void on_abort_signal(int) {
  if (abort_disabled) return;
  out_text("\n\nInstallation aborted\n");
  out_text("Press ENTER to reboot\n");
  if (g_abort_system) {
    g_abort_system->umount(root_path("/flash/boot").c_str());
    g_abort_system->umount(root_path("/flash").c_str());
    g_abort_system->umount(root_path("/floppy").c_str());
  }
  wait_for_enter();
  restore_terminal(terminal_state);
  out_flush();
  if (g_abort_system) g_abort_system->reboot(kRestartCommand);
}
