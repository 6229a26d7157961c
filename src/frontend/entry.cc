#include "frontend/entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "disk/target_disk.h"
#include "frontend/console.h"
#include "frontend/flow_table.h"
#include "frontend/kernel_modules.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

namespace {

// The parent side of the init split: waits for the worker and hands back its raw status.
int wait_for_worker(System& system, pid_t pid) {
  int status = 0;
  for (;;) {
    if (system.waitpid(pid, &status, 0) >= 0) return status;
    if (errno != EINTR) return -1;
  }
}

void mount_pseudo_file_systems(System& system) {
  system.mount("proc", root_path("/proc").c_str(), "proc", 0, nullptr);
  mkdir(root_path("/sys").c_str(), 0755);
  system.mount("sysfs", root_path("/sys").c_str(), "sysfs", 0, nullptr);
  mkdir(root_path("/flash").c_str(), 0755);
  mkdir(root_path("/ram").c_str(), 0755);
}

// Makes target refer to the same open file as fd.
void move_descriptor(int fd, int target) {
  if (fd != target) dup2(fd, target);
}

// Without a virtual console the user sits at the serial line: the console streams move there
// and the output of external tools is thrown away instead of going to a hidden console.
void choose_console() {
  strcpy(tool_output_path, "/dev/tty9");
  int probe = open(root_path("/dev/tty0").c_str(), O_WRONLY);
  if (probe >= 0) {
    close(probe);
    return;
  }
  strcpy(tool_output_path, "/dev/null");
  out_flush();
  std::string serial = root_path("/dev/ttyS0");
  // A stream is only replaced when the serial line opens; otherwise the inherited one stays,
  // so no later open can land on a console descriptor.
  int in = open(serial.c_str(), O_RDONLY);
  if (in >= 0) {
    move_descriptor(in, 0);
    if (in > 2) close(in);
    clearerr(stdin);
  }
  int out = open(serial.c_str(), O_WRONLY);
  if (out >= 0) {
    move_descriptor(out, 1);
    move_descriptor(out, 2);
    if (out > 2) close(out);
  }
}

void set_signal(int signal_number, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  sigaction(signal_number, &action, nullptr);
}

void open_lcd(System& system) {
  lcd_fd = -1;
  FILE* announcement = fopen(root_path("/sys/class/misc/lcd/dev").c_str(), "r");
  if (!announcement) return;
  int major_number = 0, minor_number = 0;
  if (fscanf(announcement, "%d:%d", &major_number, &minor_number) == 2) {
    std::string node = root_path("/dev/lcd");
    // The node may be there from an earlier start; the open decides.
    system.mknod(node.c_str(), S_IFCHR | 0666,
                 makedev(unsigned(major_number), unsigned(minor_number)));
    lcd_fd = open(node.c_str(), O_RDWR);
  } else {
    out_printf("ERROR: strange format for lcd dev\n");
  }
  fclose(announcement);
}

bool has_hdd_argument(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (argv[i] && strcmp(argv[i], "-hdd-install") == 0) return true;
  return false;
}

// The first line of /TYPE (at most 79 characters, without its newline); empty when missing.
void read_mode_file(char (&mode)[80]) {
  memset(mode, 0, sizeof mode);
  FILE* file = fopen(root_path("/TYPE").c_str(), "r");
  if (!file) return;
  if (!fgets(mode, sizeof mode, file)) mode[0] = '\0';
  fclose(file);
  if (char* newline = strchr(mode, '\n')) *newline = '\0';
}

// Runs a flow, or reports that this build has none for the chosen mode.
bool run_flow(const FlowFunction& flow, System& system, TargetDisk& disk) {
  if (!flow) {
    out_printf("FATAL ERROR: internal error\n");
    return false;
  }
  return flow(system, disk);
}

void end_of_run(System& system, bool prompt_before_reboot) {
  int marker = creat(root_path("/flash/SHOW_LICENSE").c_str(), 0600);
  if (marker >= 0) close(marker);
  system.umount(root_path("/floppy").c_str());
  system.umount(root_path("/flash").c_str());
  abort_disabled = 1;
  if (prompt_before_reboot) {
    out_printf("Press ENTER to reboot");
    wait_for_enter();
  }
  restore_terminal(terminal_state);
  out_printf("\nRebooting...");
  out_flush();
  system.reboot(kRestartCommand);
}

int run_worker(System& system, int argc, char** argv, const FlowTable& flows) {
  mount_pseudo_file_systems(system);
  choose_console();

  terminal_state = TerminalState{};
  abort_disabled = 0;
  set_abort_system(&system);
  set_signal(SIGINT, on_abort_signal, 0);
  set_signal(SIGPIPE, SIG_IGN, 0);
  set_signal(SIGCHLD, SIG_DFL, SA_RESTART);

  load_kernel_module(system, startup_module);
  open_lcd(system);

  TargetDisk disk;
  disk.device.clear();
  disk.cylinders = 0;
  disk.over_1023_cylinders = false;
  disk.over_40_mib = false;

  bool hdd = has_hdd_argument(argc, argv);
  char mode[80];
  read_mode_file(mode);

  bool prompt_before_reboot = true;
  if (hdd) {
    prompt_before_reboot = !run_flow(flows.hard_disk, system, disk);
  } else if (strcmp(mode, "cdrom") == 0) {
    enter_raw_mode(terminal_state);
    out_printf("Loading drivers\n");
    load_kernel_module_list(system, storage_module_list);
    load_kernel_module_list(system, usb_module_list);
    // Without drive detection in this build there is no drive to install onto.
    if (run_flow(flows.detect_target_disk, system, disk)) run_flow(flows.cdrom, system, disk);
    prompt_before_reboot = true;
  } else if (strcmp(mode, "net") == 0) {
    prompt_before_reboot = !run_flow(flows.net, system, disk);
  } else {
    out_printf("FATAL ERROR: internal error\n");
    prompt_before_reboot = true;
  }

  end_of_run(system, prompt_before_reboot);
  return 0;
}

}  // namespace

int entry(System& system, int argc, char** argv, const FlowTable& flows) {
  if (argc > 0 && argv[0] && strstr(argv[0], "init")) {
    out_flush();  // the worker must not repeat what the parent has buffered
    pid_t pid = system.fork();
    if (pid > 0) return wait_for_worker(system, pid);
    // pid 0: the worker; -1: no worker could be split off, this process does the work.
  }
  return run_worker(system, argc, argv, flows);
}
