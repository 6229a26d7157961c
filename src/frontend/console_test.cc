#include "frontend/console.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "pkgmgr/install_child.h"
#include "system/child_slot.h"
#include "system/output.h"
#include "system/root.h"
#include "testing/fake_system.h"
#include "testing/pty_child.h"
#include "testing/scratch_root.h"
#include "testing/stdin_text.h"

namespace {

// Sleeps the full time even when alarms interrupt the sleep.
void sleep_ms(long ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

TEST(AskYesNo, RingsForOtherKeysAndEchoesTheAnswer) {
  PtyChild child([] {
    TerminalState state;
    enter_raw_mode(state);
    return ask_yes_no("Do you want to keep old configuration? ") ? 1 : 0;
  });
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.read_until("[y/n]:"));
  // Another letter, a digit, a blank and Enter (the terminal turns CR into a newline).
  child.send("x5 \r");
  ASSERT_TRUE(child.read_until("\a\a\a\a"));
  child.send("Y");
  EXPECT_EQ(exit_code(child.wait()), 1);
  EXPECT_EQ(child.output(), "Do you want to keep old configuration?  [y/n]:\a\a\a\ay\n");
}

TEST(AskYesNo, AcceptsCapitalNAndLowerCase) {
  for (const char* key : {"N", "n"}) {
    PtyChild child([] {
      TerminalState state;
      enter_raw_mode(state);
      return ask_yes_no("Continue?") ? 1 : 0;
    });
    ASSERT_TRUE(child.read_until("Continue? [y/n]:"));
    child.send(key);
    EXPECT_EQ(exit_code(child.wait()), 0) << key;
    EXPECT_EQ(child.output(), "Continue? [y/n]:n\n") << key;
  }
  PtyChild child([] {
    TerminalState state;
    enter_raw_mode(state);
    return ask_yes_no("Continue?") ? 1 : 0;
  });
  ASSERT_TRUE(child.read_until("[y/n]:"));
  child.send("y");
  EXPECT_EQ(exit_code(child.wait()), 1);
  EXPECT_EQ(child.output(), "Continue? [y/n]:y\n");
}

TEST(AskYesNo, EndOfInputAnswersNo) {
  PtyChild child([] {
    int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    return ask_yes_no("Continue?") ? 1 : 0;
  });
  EXPECT_EQ(exit_code(child.wait()), 0);
  EXPECT_EQ(child.output(), "Continue? [y/n]:n\n");
}

TEST(WaitForEnter, RingsUntilTheNewline) {
  PtyChild child([] {
    TerminalState state;
    enter_raw_mode(state);
    out_text("Press ENTER to reboot");
    wait_for_enter();
    out_text("|after");
    return 0;
  });
  ASSERT_TRUE(child.read_until("reboot"));
  child.send("ab\rzz");
  EXPECT_EQ(exit_code(child.wait()), 0);
  EXPECT_EQ(child.output(), "Press ENTER to reboot\a\a|after");
}

TEST(WaitForEnter, ReturnsAtEndOfInput) {
  StdinFromText input("abc");
  OutputCapture capture;
  wait_for_enter();
  EXPECT_EQ(capture.text(), "\a\a\a");
}

TEST(RawMode, SavedOnceAndRestored) {
  PtyChild child([] {
    TerminalState state;
    enter_raw_mode(state);
    enter_raw_mode(state);  // must not save the raw attributes over the original ones
    out_text("raw");
    out_flush();
    read_key();
    restore_terminal(state);
    out_text("|cooked");
    out_flush();
    read_key();
    restore_terminal(state);  // raw mode is off: only shows the cursor
    return state.raw;
  });
  struct termios before = child.initial_attributes();
  ASSERT_TRUE(before.c_lflag & ICANON);
  ASSERT_TRUE(child.read_until("raw"));
  struct termios raw = child.attributes();
  EXPECT_FALSE(raw.c_lflag & ICANON);
  EXPECT_FALSE(raw.c_lflag & ECHO);
  EXPECT_EQ(raw.c_cc[VMIN], 1);
  EXPECT_EQ(raw.c_cc[VTIME], 0);
  EXPECT_EQ(raw.c_iflag, before.c_iflag);  // Enter still arrives as a newline
  EXPECT_EQ(raw.c_oflag, before.c_oflag);
  EXPECT_TRUE(raw.c_lflag & ISIG);
  child.send("x");
  ASSERT_TRUE(child.read_until("|cooked"));
  struct termios cooked = child.attributes();
  EXPECT_EQ(cooked.c_lflag, before.c_lflag);
  EXPECT_EQ(cooked.c_cc[VMIN], before.c_cc[VMIN]);
  child.send("x\n");
  EXPECT_EQ(exit_code(child.wait()), 0);
  // The terminal echoes the last key again: echo is back on.
  EXPECT_EQ(child.output(), "raw\033[?25h|cookedx\n\033[?25h");
}

TEST(TextAttributes, ResetThenEachBitInOrder) {
  OutputCapture capture;
  set_text_attributes(0);
  EXPECT_EQ(capture.take(), "\033[m");
  set_text_attributes(kBold | kBlink | kReverse | kUnderline);
  EXPECT_EQ(capture.take(), "\033[m\033[4m\033[7m\033[5m\033[1m");
  set_text_attributes(kBold | kReverse);
  EXPECT_EQ(capture.take(), "\033[m\033[7m\033[1m");
}

TEST(PrintLine, CentresAndPrintsExactlyLengthBytes) {
  OutputCapture capture;
  print_line("twenty bytes of text", 20, true);
  EXPECT_EQ(capture.take(), std::string(30, ' ') + "twenty bytes of text\n");
  print_line("abcdef", 3, false);  // not NUL-terminated at the length
  EXPECT_EQ(capture.take(), "abc\n");
  print_line("", 0, true);
  EXPECT_EQ(capture.take(), std::string(40, ' ') + "\n");
  std::string full(80, 'x');
  print_line(full.data(), full.size(), true);
  EXPECT_EQ(capture.take(), full + "\n");
  print_line("odd", 3, true);
  EXPECT_EQ(capture.take(), std::string(38, ' ') + "odd\n");
}

TEST(Banner, ClearsTheScreenAndWritesTheLcdWord) {
  int lcd[2];
  ASSERT_EQ(pipe(lcd), 0);
  PtyChild child([&] {
    lcd_fd = lcd[1];
    show_banner("hard disk installation");
    out_flush();
    return terminal_state.raw;
  });
  close(lcd[1]);
  EXPECT_EQ(exit_code(child.wait()), 1);
  EXPECT_EQ(child.output(),
            "\033[?25l\033[2J\033[HWelcome to Quovalen Router Software hard disk "
            "installation\nPress Ctrl-Alt-Delete to abort\n");
  char word[32];
  ssize_t n = read(lcd[0], word, sizeof word);
  close(lcd[0]);
  EXPECT_EQ(std::string(word, size_t(n > 0 ? n : 0)), "flashsetup");
}

TEST(Banner, WithoutLcdOnlyTheConsole) {
  PtyChild child([] {
    lcd_fd = -1;
    show_banner("remote installation");
    return 0;
  });
  EXPECT_EQ(exit_code(child.wait()), 0);
  EXPECT_EQ(child.output(),
            "\033[?25l\033[2J\033[HWelcome to Quovalen Router Software remote "
            "installation\nPress Ctrl-Alt-Delete to abort\n");
}

TEST(Progress, OneDotPerSecondUntilTheEnd) {
  PtyChild child([] {
    begin_progress("Looking for harddrives...");
    sleep_ms(2500);
    end_progress();
    out_text("done");
    out_flush();
    sleep_ms(1500);  // the last alarm expires here and must be ignored
    return 0;
  });
  int status = child.wait();
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(child.output(), "Looking for harddrives.....\ndone");
}

// The abort handler, with the fake system standing in for unmounting and rebooting.
class AbortHandler : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    abort_disabled = 0;
    terminal_state = TerminalState{};
    set_abort_system(&system_);
  }
  void TearDown() override {
    set_abort_system(nullptr);
    abort_disabled = 0;
    ScratchRoot::TearDown();
  }
  FakeSystem system_;
};

TEST_F(AbortHandler, TellsUnmountsWaitsRestoresAndReboots) {
  StdinFromText input("q\nrest");
  OutputCapture capture;
  std::vector<std::string> seen;  // console text at each system call
  system_.observer = [&](const std::string& call) { seen.push_back(call + "|" + capture.text()); };
  on_abort_signal(SIGINT);

  const std::string told = "\n\nInstallation aborted\nPress ENTER to reboot\n";
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], "umount " + host("/flash/boot") + "|" + told);
  EXPECT_EQ(seen[1], "umount " + host("/flash") + "|" + told);
  EXPECT_EQ(seen[2], "umount " + host("/floppy") + "|" + told);
  // By the reboot the key was waited for and the cursor shown again.
  EXPECT_EQ(seen[3], "reboot 0x1234567|" + told + "\a\033[?25h");
  EXPECT_EQ(input.rest(), "rest");
  ASSERT_TRUE(system_.reboot_command.has_value());
  EXPECT_EQ(*system_.reboot_command, 0x01234567);
}

TEST_F(AbortHandler, DoesNothingOnceAbortIsDisabled) {
  StdinFromText input("\n");
  OutputCapture capture;
  abort_disabled = 1;
  on_abort_signal(SIGINT);
  EXPECT_EQ(capture.text(), "");
  EXPECT_TRUE(system_.calls.empty());
  EXPECT_EQ(input.rest(), "\n");
}

// The installation child starts with SIGINT at its default action: Ctrl-C (a SIGINT to the
// child) ends it and nothing more. The abort handler, which tells "Installation aborted",
// unmounts and reboots, stays with the installer. Sent at once, the signal also meets the
// child while it is being set up.
TEST_F(AbortHandler, InstallationChildEndsOnSigintWithoutTheHandler) {
  make_dir(host("/flash/var/pdb"));  // the children wait for their archive
  struct sigaction handler = {}, saved;
  handler.sa_handler = on_abort_signal;
  sigemptyset(&handler.sa_mask);
  sigaction(SIGINT, &handler, &saved);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fflush(stdout);
  int saved_out = dup(1);
  dup2(fds[1], 1);  // the children's console
  close(fds[1]);
  int by_sigint = 0;
  const int kRuns = 20;
  for (int i = 0; i < kRuns; ++i) {
    FILE* child = start_install_child(true, true);
    if (!child) break;
    kill(child_slot(), SIGINT);
    int status = finish_child(child);
    if (status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) ++by_sigint;
  }
  fflush(stdout);
  dup2(saved_out, 1);
  close(saved_out);
  sigaction(SIGINT, &saved, nullptr);
  std::string told;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) told.append(buf, size_t(n));
  close(fds[0]);
  EXPECT_EQ(by_sigint, kRuns);
  EXPECT_EQ(told, "");  // no "Installation aborted", no "Press ENTER to reboot"
  EXPECT_TRUE(system_.calls.empty());  // nothing unmounted or rebooted here either
}

}  // namespace
