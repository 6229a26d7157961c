#include "frontend/kernel_modules.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

const char* const storage_module_list[] = {
    "kernel/fs/ext2/ext2.ko",
    "kernel/fs/ext3/ext3.ko",
    "kernel/drivers/ide/ide-core.ko",
    "kernel/drivers/ide/ide-generic.ko",
    "kernel/drivers/ide/ide-gd_mod.ko",
    "kernel/drivers/ide/cmd64x.ko",
    "kernel/drivers/ide/rz1000.ko",
    "kernel/drivers/ide/via82cxxx.ko",
    "kernel/drivers/ide/cs5530.ko",
    "kernel/drivers/ide/piix.ko",
    "kernel/drivers/ide/sc1200.ko",
    "kernel/drivers/cdrom/cdrom.ko",
    "kernel/drivers/ide/ide-cd_mod.ko",
    "kernel/drivers/scsi/scsi_mod.ko",
    "kernel/drivers/scsi/scsi_wait_scan.ko",
    "kernel/drivers/scsi/sd_mod.ko",
    "kernel/drivers/scsi/sr_mod.ko",
    "kernel/drivers/ata/libata.ko",
    "kernel/drivers/ata/libahci.ko",
    "kernel/drivers/ata/ahci.ko",
    "kernel/drivers/ata/ata_piix.ko",
    "kernel/drivers/ata/pata_ali.ko",
    "kernel/drivers/ata/pata_amd.ko",
    "kernel/drivers/ata/pata_artop.ko",
    "kernel/drivers/ata/pata_atiixp.ko",
    "kernel/drivers/ata/pata_atp867x.ko",
    "kernel/drivers/ata/pata_cmd640.ko",
    "kernel/drivers/ata/pata_cmd64x.ko",
    "kernel/drivers/ata/pata_cs5520.ko",
    "kernel/drivers/ata/pata_cs5530.ko",
    "kernel/drivers/ata/pata_cs5535.ko",
    "kernel/drivers/ata/pata_cs5536.ko",
    "kernel/drivers/ata/pata_cypress.ko",
    "kernel/drivers/ata/pata_efar.ko",
    "kernel/drivers/ata/pata_hpt366.ko",
    "kernel/drivers/ata/pata_hpt37x.ko",
    "kernel/drivers/ata/pata_hpt3x2n.ko",
    "kernel/drivers/ata/pata_hpt3x3.ko",
    "kernel/drivers/ata/pata_it8213.ko",
    "kernel/drivers/ata/pata_it821x.ko",
    "kernel/drivers/ata/pata_jmicron.ko",
    "kernel/drivers/ata/pata_marvell.ko",
    "kernel/drivers/ata/pata_mpiix.ko",
    "kernel/drivers/ata/pata_netcell.ko",
    "kernel/drivers/ata/pata_ns87410.ko",
    "kernel/drivers/ata/pata_ns87415.ko",
    "kernel/drivers/ata/pata_oldpiix.ko",
    "kernel/drivers/ata/pata_pdc2027x.ko",
    "kernel/drivers/ata/pata_serverworks.ko",
    "kernel/drivers/ata/pata_sil680.ko",
    "kernel/drivers/ata/pata_sis.ko",
    "kernel/drivers/ata/pata_sl82c105.ko",
    "kernel/drivers/ata/pata_via.ko",
    "kernel/drivers/ata/pdc_adma.ko",
    "kernel/drivers/ata/sata_inic162x.ko",
    "kernel/drivers/ata/sata_mv.ko",
    "kernel/drivers/ata/sata_nv.ko",
    "kernel/drivers/ata/sata_promise.ko",
    "kernel/drivers/ata/sata_qstor.ko",
    "kernel/drivers/ata/sata_sil24.ko",
    "kernel/drivers/ata/sata_sil.ko",
    "kernel/drivers/ata/sata_sis.ko",
    "kernel/drivers/ata/sata_svw.ko",
    "kernel/drivers/ata/sata_sx4.ko",
    "kernel/drivers/ata/sata_uli.ko",
    "kernel/drivers/ata/sata_via.ko",
    "kernel/drivers/ata/sata_vsc.ko",
    "kernel/drivers/ide/ide-pci-generic.ko",
    "kernel/drivers/ata/ata_generic.ko",
    "kernel/drivers/scsi/3w-9xxx.ko",
    "kernel/drivers/scsi/3w-xxxx.ko",
    "kernel/drivers/scsi/arcmsr/arcmsr.ko",
    "kernel/drivers/scsi/megaraid.ko",
    "kernel/drivers/scsi/megaraid/megaraid_sas.ko",
    "kernel/drivers/scsi/hpsa.ko",
    nullptr,
};

const char* const usb_module_list[] = {
    "kernel/drivers/usb/usb-common.ko",
    "kernel/drivers/usb/core/usbcore.ko",
    "kernel/drivers/usb/host/ehci-hcd.ko",
    "kernel/drivers/usb/host/uhci-hcd.ko",
    "kernel/drivers/usb/host/ohci-hcd.ko",
    "kernel/drivers/hid/usbhid/usbhid.ko",
    "kernel/drivers/usb/storage/usb-storage.ko",
    nullptr,
};

const char startup_module[] = "drivers/net/atl1c.ko";

int load_kernel_module(System& system, const char* relative_path) {
  std::string path =
      root_path("/lib/modules/" + system.kernel_release() + "/" + relative_path);
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;  // not on this medium: skipped without a word

  struct stat status;
  void* image = MAP_FAILED;
  size_t length = 0;
  if (fstat(fd, &status) == 0 && status.st_size > 0 &&
      uintmax_t(status.st_size) <= uintmax_t(SIZE_MAX)) {
    length = size_t(status.st_size);
    image = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  }
  if (image == MAP_FAILED) {
    out_printf("ERROR: could not load module %s\n", relative_path);
    close(fd);
    return -1;
  }
  int result = system.init_module(image, length, "");
  munmap(image, length);
  close(fd);
  return result == 0 ? 0 : -1;
}

void load_kernel_module_list(System& system, const char* const* list) {
  for (; *list; ++list) load_kernel_module(system, *list);
}
