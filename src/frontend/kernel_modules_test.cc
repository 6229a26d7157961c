#include "frontend/kernel_modules.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/linux_system.h"
#include "system/output.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"
#include "testing/stdin_text.h"

namespace {

std::vector<std::string> entries(const char* const* list) {
  std::vector<std::string> result;
  for (; *list; ++list) result.push_back(*list);
  return result;
}

// A module tree for the fake kernel: every file holds its own relative path, so the images
// the fake accepted name the modules in load order.
class ModuleTree : public ScratchRoot {
 protected:
  void place(const std::string& relative) {
    put(host("/lib/modules/" + system_.release + "/" + relative), relative);
  }
  void place_all(const char* const* list) {
    for (; *list; ++list) place(*list);
  }
  FakeSystem system_;
};

TEST(ModuleLists, SizesAndShape) {
  std::vector<std::string> storage = entries(storage_module_list);
  std::vector<std::string> usb = entries(usb_module_list);
  ASSERT_EQ(storage.size(), 75u);
  ASSERT_EQ(usb.size(), 7u);
  EXPECT_EQ(storage.front(), "kernel/fs/ext2/ext2.ko");
  EXPECT_EQ(storage[17], "kernel/drivers/ata/libata.ko");
  EXPECT_EQ(storage.back(), "kernel/drivers/scsi/hpsa.ko");
  EXPECT_EQ(usb.front(), "kernel/drivers/usb/usb-common.ko");
  EXPECT_EQ(usb.back(), "kernel/drivers/usb/storage/usb-storage.ko");
  std::set<std::string> distinct(storage.begin(), storage.end());
  distinct.insert(usb.begin(), usb.end());
  EXPECT_EQ(distinct.size(), 82u);
  for (const std::string& e : distinct) {
    EXPECT_EQ(e.rfind("kernel/", 0), 0u) << e;
    EXPECT_EQ(e.substr(e.size() - 3), ".ko") << e;
  }
  EXPECT_STREQ(startup_module, "drivers/net/atl1c.ko");
}

TEST_F(ModuleTree, LoadsTheImageFromTheReleaseDirectory) {
  system_.release = "2.6.99-medium";
  place("drivers/net/atl1c.ko");
  OutputCapture capture;
  EXPECT_EQ(load_kernel_module(system_, startup_module), 0);
  ASSERT_EQ(system_.calls.size(), 1u);
  // The whole file is handed over, with an empty parameter text.
  EXPECT_EQ(system_.calls[0], "init_module drivers/net/atl1c.ko ");
  EXPECT_EQ(capture.text(), "");
}

TEST_F(ModuleTree, ListsLoadInOrderAndSkipMissingFilesSilently) {
  place_all(storage_module_list);
  place_all(usb_module_list);
  ASSERT_EQ(unlink(host("/lib/modules/" + system_.release +
                              "/kernel/drivers/ata/pata_ali.ko").c_str()), 0);
  OutputCapture capture;
  load_kernel_module_list(system_, storage_module_list);
  load_kernel_module_list(system_, usb_module_list);

  std::vector<std::string> expected = entries(storage_module_list);
  for (const std::string& e : entries(usb_module_list)) expected.push_back(e);
  expected.erase(std::find(expected.begin(), expected.end(), "kernel/drivers/ata/pata_ali.ko"));
  EXPECT_EQ(system_.modules, expected);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(ModuleTree, SecondLoadIsRefusedWithoutMessages) {
  place_all(usb_module_list);
  load_kernel_module_list(system_, usb_module_list);
  ASSERT_EQ(system_.modules.size(), 7u);
  OutputCapture capture;
  for (const char* const* m = usb_module_list; *m; ++m)
    EXPECT_EQ(load_kernel_module(system_, *m), -1) << *m;
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(system_.modules.size(), 7u);
}

TEST_F(ModuleTree, EmptyFileCannotBeMapped) {
  put(host("/lib/modules/" + system_.release + "/kernel/fs/ext2/ext2.ko"), "");
  OutputCapture capture;
  EXPECT_EQ(load_kernel_module(system_, "kernel/fs/ext2/ext2.ko"), -1);
  EXPECT_EQ(capture.text(), "ERROR: could not load module kernel/fs/ext2/ext2.ko\n");
  EXPECT_TRUE(system_.calls.empty());
}

TEST_F(ModuleTree, KernelRefusalIsSilent) {
  place("kernel/fs/ext3/ext3.ko");
  system_.fail_once("init_module", "", ENOEXEC);
  OutputCapture capture;
  EXPECT_EQ(load_kernel_module(system_, "kernel/fs/ext3/ext3.ko"), -1);
  EXPECT_EQ(capture.text(), "");
  EXPECT_TRUE(system_.modules.empty());
}

// The real system call with an image that is no module: the kernel must refuse it. This
// loads nothing, whatever the machine.
TEST(RealInitModule, KernelRefusesAnImageThatIsNoModule) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (CAP_SYS_MODULE)";
  LinuxSystem system;
  static const char not_a_module[64] = "this is not an ELF object";
  errno = 0;
  EXPECT_EQ(system.init_module(not_a_module, sizeof not_a_module, ""), -1);
  int error = errno;
  if (error == ENOSYS) GTEST_SKIP() << "this kernel has no module support";
  EXPECT_TRUE(error == ENOEXEC || error == EINVAL || error == EKEYREJECTED ||
              error == EBADMSG || error == EPERM)
      << strerror(error);
}

}  // namespace
