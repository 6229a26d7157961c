#include "network/network_flow.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "disk/boot_record.h"
#include "disk/drive_detection.h"
#include "disk/post_install.h"
#include "disk/prepare_disk.h"
#include "disk/target_disk.h"
#include "frontend/console.h"
#include "frontend/kernel_modules.h"
#include "network/config_script.h"
#include "network/discovery.h"
#include "network/disk_label.h"
#include "network/file_transfer.h"
#include "network/net_context.h"
#include "network/network.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

namespace {

void print_address(const char* format, const uint8_t* address) {
  char text[18];
  format_hardware_address(address, text);
  out_printf(format, text);
}

// What became of the package archives the server handed out.
struct Handed {
  size_t archives = 0;
  std::vector<std::string> not_installed;  // their file names
};

// Pulls file after file until the server has no more. False on the first file that cannot be
// received or written; a package the child refuses is noted in handed and the next follows.
bool install_files(NetContext& context, Handed& handed) {
  for (;;) {
    context.transfer = std::make_unique<FileTransfer>(*context.selected_interface(),
                                                      context.session);
    NextFile next = open_next_file(*context.transfer);
    if (next == NextFile::End) return true;
    if (next == NextFile::Failed) {
      out_printf("\nFATAL ERROR: bad network connection\n");
      return false;
    }
    if (is_configuration_script(context.transfer->name)) {
      if (!write_configuration_script(*context.transfer)) return false;
    } else {
      bool installed = false;
      if (!install_from_transfer(context, InstallChildRequest::onto_target(), &installed))
        return false;
      ++handed.archives;
      if (!installed) handed.not_installed.push_back(context.transfer->name);
    }
  }
}

bool run(System& system, NetContext& context, TargetDisk& disk) {
  bring_up_interfaces(context.network, context.interfaces);
  if (context.interfaces.empty()) {
    out_printf("\nFATAL ERROR: no network card found\n");
    return false;
  }
  out_printf("\n");
  for (auto& card : context.interfaces) print_address("mac-address: %s\n", card->hardware_address);
  out_printf("\nWaiting for drivers...\n");
  out_flush();

  find_driver_server(context, system.kernel_release());
  context.transfer = std::make_unique<FileTransfer>(*context.selected_interface(),
                                                    context.session);
  if (open_next_file(*context.transfer) != NextFile::Opened) {
    out_printf("\nFATAL ERROR: could not retrieve disk drivers\n");
    return false;
  }
  out_printf("Retrieving drivers...\n");
  if (!install_from_transfer(context, InstallChildRequest::drivers())) return false;
  out_printf("Loading drivers\n");
  load_kernel_module_list(system, storage_module_list);
  load_kernel_module_list(system, usb_module_list);
  if (!detect_target_disk(system, disk)) return false;

  std::string label = read_disk_label(system);
  out_printf("disk label: %s\n", label.c_str());
  bool keep = find_install_server(context, label);
  // Whatever the disk steps can refuse is refused before the boot code is written.
  if (!disk_can_be_prepared(disk)) return false;
  prepare_boot_record(disk.device);
  print_address("Found server at %s\n", context.session.peer_address);
  out_printf("\n");
  if (!prepare_disk(system, disk, keep)) return false;
  out_printf("\n");
  if (!request_start(context)) {
    out_printf("\nFATAL ERROR: server refused to install\n");
    return false;
  }
  Handed handed;
  if (!install_files(context, handed)) return false;

  int marker = open(root_path("/flash/CDINSTALL").c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (marker >= 0) close(marker);
  post_install(system, disk);
  // Only every handed package installed is a success; the server learns of it by WTRM alone.
  if (handed.archives == 0) {
    out_printf("\nERROR: the server handed out no package: nothing was installed\n");
    return false;
  }
  if (!handed.not_installed.empty()) {
    std::string names;
    for (const std::string& name : handed.not_installed) {
      if (!names.empty()) names += ", ";
      for (char c : name) names += (c >= ' ' && c < 127) ? c : '?';  // the server's words
    }
    out_printf("\nERROR: %zu of %zu packages were not installed: %s\n",
               handed.not_installed.size(), handed.archives, names.c_str());
    return false;
  }
  abort_disabled = 1;
  out_printf("\nSoftware installed.\nPress ENTER to reboot");
  out_flush();
  wait_for_termination(context);
  return true;
}

}  // namespace

bool install_from_network(System& system, Network& network, TargetDisk& disk) {
  show_banner("remote installation");
  // The context closes every card and frees the transfer on every way out.
  NetContext context(network);
  bool result = run(system, context, disk);
  out_flush();
  return result;
}
