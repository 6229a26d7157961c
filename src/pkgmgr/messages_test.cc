#include <gtest/gtest.h>

#include <string>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "pkgmgr/package_manager.h"
#include "system/output.h"
#include "testing/stream_util.h"

namespace {

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";
const std::string kErase = "\r" + std::string(79, ' ') + "\r";

// The bytes that draw text as the progress line over a previous line of previous bytes.
std::string drawn(const std::string& text, size_t previous = 0) {
  std::string pad = previous > text.size() ? std::string(previous - text.size(), ' ') : "";
  return kHide + "\r" + text + pad + "\r" + kShow;
}

class Messages : public ::testing::Test {
 protected:
  PackageManager pm;
};

TEST_F(Messages, ProgressLineBytes) {
  OutputCapture out;
  pm.show_progress("installing abcdef");
  EXPECT_EQ(out.take(), drawn("installing abcdef"));
  pm.show_progress("installing abcdef");
  EXPECT_EQ(out.take(), "");  // the same text again draws nothing
  pm.show_progress("short");
  EXPECT_EQ(out.take(), drawn("short", 17));
  pm.show_progress("a longer line than before");
  EXPECT_EQ(out.take(), drawn("a longer line than before"));
  EXPECT_EQ(pm.progress_line(), "a longer line than before");
  // Clearing the line as installation does: blanks over it, then nothing.
  pm.show_progress(std::string(78, ' '));
  pm.show_progress("");
  EXPECT_EQ(out.take(), drawn(std::string(78, ' '), 25) + drawn("", 78));
  EXPECT_EQ(pm.progress_line(), "");
}

TEST_F(Messages, MessagesWithoutAProgressLine) {
  OutputCapture out;
  pm.error("can not install %s: it conflicts with %s", "a-1.0", "b-2.0");
  pm.warning("ghost file %s", "/etc/x");
  pm.note("installed %s%s", "(disabled) ", "c-3.0");
  EXPECT_EQ(out.text(),
            "ERROR: can not install a-1.0: it conflicts with b-2.0\n"
            "WARNING: ghost file /etc/x\n"
            "installed (disabled) c-3.0\n");
}

TEST_F(Messages, EveryMessageErasesTheProgressLineAndRedrawsIt) {
  OutputCapture out;
  pm.show_progress("installing foo-1.0 [####    ]");
  std::string line = drawn("installing foo-1.0 [####    ]");
  out.take();
  pm.error("installation of %s failed: broken package", "foo-1.0");
  EXPECT_EQ(out.take(), kErase + "ERROR: installation of foo-1.0 failed: broken package\n" + line);
  pm.note("installed %s%s", "", "foo-1.0");
  EXPECT_EQ(out.take(), kErase + "installed foo-1.0\n" + line);
  pm.warning("file %s collides with %s package", "/etc/ppp.conf", "ppp");
  // A warning too: otherwise the tail of a longer bar would stay visible after its text.
  EXPECT_EQ(out.take(), kErase + "WARNING: file /etc/ppp.conf collides with ppp package\n" + line);
  EXPECT_EQ(pm.progress_line(), "installing foo-1.0 [####    ]");
}

TEST_F(Messages, TextsAreCutAt255Bytes) {
  std::string long_name(300, 'n');
  OutputCapture out;
  pm.error("%s", long_name.c_str());
  EXPECT_EQ(out.take(), "ERROR: " + std::string(255, 'n') + "\n");
  pm.warning("%s", long_name.c_str());
  EXPECT_EQ(out.take(), "WARNING: " + std::string(255, 'n') + "\n");
  pm.note("ab%s", std::string(253, 'c').c_str());
  EXPECT_EQ(out.take(), "ab" + std::string(253, 'c') + "\n");
}

TEST_F(Messages, QuietModePrintsNothing) {
  OutputCapture out;
  pm.show_progress("before");
  out.take();
  pm.set_quiet(true);
  pm.error("e");
  pm.warning("w");
  pm.note("n");
  pm.show_progress("another line");
  EXPECT_EQ(out.text(), "");
}

// A seekable source of any length: the given head bytes at 0 and tail bytes at tail_at, zero
// bytes everywhere else. Reads and seeks cost nothing, so archives of gigabytes can be read.
class SparseSource : public std::streambuf {
 public:
  SparseSource(std::string head, uint64_t tail_at, std::string tail)
      : head_(std::move(head)), tail_at_(tail_at), tail_(std::move(tail)) {}

 protected:
  int_type underflow() override {
    if (pos_ >= tail_at_ + tail_.size()) return traits_type::eof();
    return traits_type::to_int_type(at(pos_));
  }
  int_type uflow() override {
    int_type c = underflow();
    if (!traits_type::eq_int_type(c, traits_type::eof())) ++pos_;
    return c;
  }
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    if (dir != std::ios_base::cur) return pos_type(off_type(-1));
    pos_ += uint64_t(off);
    return pos_type(off_type(pos_));
  }

 private:
  char at(uint64_t pos) const {
    if (pos < head_.size()) return head_[size_t(pos)];
    if (pos >= tail_at_) return tail_[size_t(pos - tail_at_)];
    return 0;
  }
  std::string head_;
  uint64_t tail_at_;
  std::string tail_;
  uint64_t pos_ = 0;
};

TEST_F(Messages, ProgressBarFillFollowsTheArchiveOffset) {
  // 8-byte file header, a 92-byte file-data part and an empty signature part: 112 bytes.
  std::string bytes = kpk::file_header(kRegularMagic, 104) +
                      kpk::part(FileData, std::string(92, 'd')) + kpk::part(Signature, "");
  ASSERT_EQ(bytes.size(), 112u);
  MemoryStream in(bytes);
  PartReader reader(in, true);
  reader.want(FileData);
  reader.want(Signature);
  ASSERT_EQ(reader.next_part(), FileData);

  // "installing foo-1.0 [" is 20 bytes, which leaves 56 positions for the bar.
  const std::string label = "installing foo-1.0";
  auto bar = [&](size_t filled) {
    return label + " [" + std::string(filled, '#') + std::string(56 - filled, ' ') + "]";
  };
  OutputCapture out;
  pm.show_progress_bar(label, reader);  // offset 14: 56 * 14 / 112
  EXPECT_EQ(out.take(), drawn(bar(7)));
  char body[92];
  reader.read(body, 42);  // offset 56
  pm.show_progress_bar(label, reader);
  EXPECT_EQ(out.take(), drawn(bar(28)));
  reader.read(body, 50);  // offset 106: 53 positions
  pm.show_progress_bar(label, reader);
  EXPECT_EQ(out.take(), drawn(bar(53)));

  // A reader that has met the end of its part stays usable after drawing the bar.
  EXPECT_EQ(reader.peek(), std::char_traits<char>::eof());
  ASSERT_EQ(reader.rdstate(), std::ios_base::eofbit);
  pm.show_progress_bar(label, reader);
  EXPECT_EQ(reader.rdstate(), std::ios_base::eofbit);
  EXPECT_EQ(reader.next_part(), Signature);
  pm.show_progress_bar(label, reader);  // offset 112: full
  EXPECT_EQ(out.take(), drawn(bar(56)));
}

TEST_F(Messages, ProgressBarOfAnArchiveBeyondTwoGigabytes) {
  // The file-data part ends past 2 GiB: 56 times the offset needs more than 32 bits.
  const uint64_t body = 0x80000000u;
  SparseSource source(kpk::file_header(kRegularMagic, 0xFFFFFFF0u - 8) +
                          kpk::part_header(FileData, uint32_t(body)),
                      14 + body, kpk::part_header(Signature, 0));
  std::istream in(&source);
  PartReader reader(in, false);
  reader.want(FileData);
  reader.want(Signature);
  ASSERT_EQ(reader.next_part(), FileData);
  ASSERT_EQ(reader.next_part(), Signature);  // offset 0x80000014 of 0xFFFFFFF0
  OutputCapture out;
  pm.show_progress_bar("installing foo-1.0", reader);
  EXPECT_EQ(out.text(), drawn("installing foo-1.0 [" + std::string(28, '#') +
                              std::string(28, ' ') + "]"));
}

TEST_F(Messages, ProgressBarWithLyingOrOddSizes) {
  OutputCapture out;
  {
    // A total length that wraps to 0 draws an empty bar instead of dividing by zero.
    MemoryStream in(kpk::file_header(kRegularMagic, 0xFFFFFFF8u) + kpk::part(FileData, "x"));
    PartReader reader(in, true);
    reader.want(FileData);
    ASSERT_EQ(reader.next_part(), FileData);
    pm.show_progress_bar("a", reader);
    EXPECT_EQ(pm.progress_line(), "a [" + std::string(73, ' ') + "]");
  }
  {
    // More data than the header announces fills the bar, no further.
    MemoryStream in(kpk::file_header(kRegularMagic, 0) + kpk::part(FileData, "xyz"));
    PartReader reader(in, true);
    reader.want(FileData);
    ASSERT_EQ(reader.next_part(), FileData);
    pm.show_progress_bar("b", reader);
    EXPECT_EQ(pm.progress_line(), "b [" + std::string(73, '#') + "]");
    // A label too long for a bar keeps only its brackets.
    std::string label(80, 'l');
    pm.show_progress_bar(label, reader);
    EXPECT_EQ(pm.progress_line(), label + " []");
  }
}

TEST_F(Messages, OwnerIsTheFirstInstalledPackageListingThePath) {
  for (const char* name : {"base", "extra", "other"}) {
    auto p = std::make_unique<Package>();
    p->name = name;
    pm.installed().push_back(std::move(p));
  }
  pm.installed()[1]->files = {"/bin/sh", "/etc/x"};
  pm.installed()[2]->files = {"/etc/x"};
  EXPECT_EQ(pm.owner_of("/etc/x"), "extra");
  EXPECT_EQ(pm.owner_of("/bin/sh"), "extra");
  EXPECT_EQ(pm.owner_of("/bin"), "");
  EXPECT_EQ(pm.owner_of("bin/sh"), "");
}

}  // namespace
