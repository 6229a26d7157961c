// Console primitives: raw mode, questions, text attributes, centred lines, the installation
// banner, progress dots and the abort handler. Text goes through the console writer
// (system/output.h); keys are read from descriptor 0.
#pragma once

#include <termios.h>

#include <csignal>
#include <cstddef>

class System;

// Console attributes of descriptor 0 as they were when raw mode was switched on.
struct TerminalState {
  struct termios saved = {};
  int raw = 0;  // 1 while raw mode is on
};

// The front end's process-wide values. They are set up by the entry routine before any flow
// runs and live until the reboot.
extern char tool_output_path[20];  // where external tools send their output
extern int lcd_fd;                  // front-panel LCD, or -1
extern TerminalState terminal_state;
// While set, the abort handler does nothing (the run is already ending).
extern volatile std::sig_atomic_t abort_disabled;

// The System the abort handler unmounts and reboots through. The entry routine sets it once,
// before it installs the handler; it is the only process-wide reference to the System.
void set_abort_system(System* system);

// Reads one byte from descriptor 0, retrying when a signal interrupts the read. Returns the
// byte (0..255), or -1 at end of input or on a read error.
int read_key();

// Switches descriptor 0 to byte-at-a-time input without echo (input and output flags stay).
// Saves the attributes only when raw mode is off; a second call does nothing. Terminal
// failures are ignored.
void enter_raw_mode(TerminalState& state);
// Puts the saved attributes back when raw mode is on, then shows the cursor in every case.
void restore_terminal(TerminalState& state);

// Prints "QUESTION [y/n]:" and reads keys until y or n (either case), echoing "y" or "n" and
// a newline. Other keys ring the bell. End of input answers no (and echoes "n").
bool ask_yes_no(const char* question);
// Flushes the console, then reads keys until a newline or end of input; every other key rings
// the bell.
void wait_for_enter();

// Attribute bits for set_text_attributes; 0 resets.
constexpr unsigned kUnderline = 1, kReverse = 2, kBlink = 4, kBold = 8;
void set_text_attributes(unsigned flags);
// Prints exactly length bytes of text (NUL not needed) and a newline; when centred, first
// (80 - length) / 2 blanks. Centred text must be at most 80 bytes.
void print_line(const char* text, size_t length, bool centred);

// Raw mode on, hidden cursor, cleared screen, the welcome line with title and the abort
// hint; writes "flashsetup" to the LCD when there is one.
void show_banner(const char* title);

// Prints text (no newline) and then one dot per second on descriptor 1, driven by SIGALRM,
// until end_progress(). If the alarm handler cannot be installed there are no dots.
void begin_progress(const char* text);
// Prints a newline and stops the dots (a pending alarm is left to expire, ignored).
void end_progress();

// The SIGINT handler: unless abort_disabled is set, tells the user, unmounts the target and
// the medium, waits for Enter, restores the terminal and reboots. Does not return when the
// reboot happens.
void on_abort_signal(int signal_number);
