// What needs more than 32 bits on the installer's real target, a 32-bit x86 build: file
// times from 2038 on, archive files beyond 2 GiB and files beyond 2 GiB on the target. The
// large files are sparse, so nothing large is stored for them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/package.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/journal.h"
#include "pkgmgr/package_manager.h"
#include "system/output.h"
#include "testing/scratch_root.h"
#include "testing/stream_util.h"
#include "testing/tree_util.h"

namespace {

class BeyondThirtyTwoBits : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    make_dir(host("/flash"));
  }

  // Extracts the file data of the archive that source yields, hashing off (the digest is not
  // what is tried here). Returns the console lines.
  std::vector<std::string> extract(std::streambuf* source, bool* ok) {
    std::istream in(source);
    PartReader r(in, false);
    r.want(PackageHeader);
    r.want(FileData);
    r.next_part();
    Package p;
    OutputCapture out;
    *ok = read_package_info(p, r) && r.current_type() == FileData;
    Journal journal(pm_);
    Installation sink(pm_, p, r, Target::flash(), journal);
    *ok = *ok && extract_files(r, Target::flash(), "", sink);
    journal.commit();
    return console_lines(out.text());
  }

  PackageManager pm_;
};

TEST_F(BeyondThirtyTwoBits, TimesFrom2038On) {
  const uint32_t late = 0xF0000000u;  // in the year 2097
  kpk::FileEntry dir{"var", 040755, 0, 0, late, false, ""};
  kpk::FileEntry file{"var/x", 0100644, 0, 0, late, false, "x"};
  kpk::PackageSpec spec;
  spec.name = "late";
  spec.has_files = true;
  spec.files = {dir, file};
  MemorySource source(kpk::package_archive(spec, false));
  bool ok = false;
  EXPECT_EQ(extract(&source, &ok), std::vector<std::string>{});
  ASSERT_TRUE(ok);
  for (const char* path : {"/flash/var/x", "/flash/var"}) {
    struct stat st;
    ASSERT_EQ(stat(host(path).c_str(), &st), 0);
    EXPECT_EQ(int64_t(st.st_mtime), int64_t(late)) << path;
  }
}

TEST_F(BeyondThirtyTwoBits, ArchiveFileOfMoreThanTwoGigabytes) {
  // 2.2 GB: a package header and an image part that fills the rest, sparse on the disk.
  const uint64_t total = 2200000000u;
  const std::string head = kpk::file_header(kRegularMagic, uint32_t(total - 8)) +
                           kpk::part(PackageHeader, kpk::header_record("big", 0x01006600, 0)) +
                           kpk::part_header(Image, uint32_t(total - 8 - 38 - 6));
  int fd = open(host("/big.kpk").c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, head.data(), head.size()), ssize_t(head.size()));
  ASSERT_EQ(ftruncate64(fd, off64_t(total)), 0);
  close(fd);

  PackageFile file;
  ASSERT_TRUE(read_package_file(file, "/big.kpk"));
  EXPECT_EQ(file.name, "big");
  EXPECT_EQ(file.total_length, total);
  EXPECT_TRUE(file.has_image);
}

// A file beyond 2 GiB already on the target where a package puts an entry: it must be seen
// (a 32-bit stat without large-file support fails on it, and the file would be overwritten
// in place), reported as a ghost file, moved aside and put back when the package fails.
TEST_F(BeyondThirtyTwoBits, FileOfMoreThanTwoGigabytesOnTheTarget) {
  const uint64_t size = 2200000000u;
  int fd = open(host("/flash/big").c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "original", 8), 8);
  ASSERT_EQ(ftruncate64(fd, off64_t(size)), 0);  // sparse: nothing of it is stored
  close(fd);

  kpk::PackageSpec spec;
  spec.name = "big";
  spec.version = 0x01006600;
  spec.has_files = true;
  spec.files = {kpk::FileEntry{"big", 0100644, 0, 0, 0, false, "new"}};
  MemoryStream in(kpk::package_archive(spec, false));  // unsigned: it fails at the end
  PartReader r(in, true);
  for (int32_t type : {PackageHeader, FileData, Signature}) r.want(type);
  r.next_part();
  Package p;
  ASSERT_TRUE(read_package_info(p, r));
  OutputCapture out;
  EXPECT_FALSE(install_package(pm_, p, r, Target::flash()));
  EXPECT_EQ(console_lines(out.text()),
            (std::vector<std::string>{"WARNING: ghost file /big",
                                      "ERROR: installation of big-1.0 failed: broken package"}));
  struct stat64 st;
  ASSERT_EQ(stat64(host("/flash/big").c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), size);
  char head[8] = {};
  fd = open(host("/flash/big").c_str(), O_RDONLY | O_LARGEFILE);
  EXPECT_EQ(read(fd, head, 8), 8);
  close(fd);
  EXPECT_EQ(std::string(head, 8), "original");
}

}  // namespace
