// The check of held archives against what an attacker or a damaged medium can offer: every
// archive that the installation child refuses as broken must be refused here, and every one
// it installs accepted. Each archive is also fed to a real installation child to prove that.
#include "flows/archive_check.h"

#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "archive/part_type.h"
#include "archive_writer.h"
#include "pkgmgr/install_child.h"
#include "system/child_slot.h"
#include "testing/scratch_root.h"
#include "testing/signing.h"

namespace {

kpk::PackageSpec spec(const std::string& name) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = 0x01006600;
  s.has_image = true;
  s.image = std::string(9000, 'i');
  s.has_install_script = true;
  s.install_script = "true\n";
  s.has_files = true;
  kpk::FileEntry f;
  f.name = "opt/" + name;
  f.mode = 0100644;
  f.content = std::string(20000, 'x');
  s.files.push_back(f);
  return s;
}

std::string with_header(const std::string& parts, uint32_t magic = kRegularMagic) {
  return kpk::file_header(magic, uint32_t(parts.size())) + parts;
}

class ArchiveCheck : public ScratchRoot {
 protected:
  // Whether a fresh installation child installs the archive onto an empty target: the file
  // of the package (or of the bundle's first member) is there afterwards.
  bool child_installs(const std::string& archive, const std::string& file) {
    std::filesystem::remove_all(host("/flash"));
    put(host("/flash/var/pdb/.keep"), "");
    FILE* child = start_install_child(true, true);
    if (!child) return false;
    fwrite(archive.data(), 1, archive.size(), child);
    finish_child(child);
    return exists(host("/flash/opt/" + file));
  }
};

TEST_F(ArchiveCheck, HostileAndDamagedArchives) {
  signal(SIGPIPE, SIG_IGN);
  std::string good = signed_archive(spec("ppp"));
  std::string other = signed_archive(spec("dhcp"));
  std::string member_a = signed_parts(kpk::package_parts(spec("a")));
  std::string member_b = signed_parts(kpk::package_parts(spec("b")));
  kpk::BundleSpec bundle;
  bundle.name = "suite";
  bundle.version = 0x01006600;

  auto flipped = [&](size_t at) {
    std::string a = good;
    a[at] ^= 0x01;
    return a;
  };
  std::string cut = good.substr(0, good.size() - 1);
  std::string cut_relabelled = with_header(good.substr(8, good.size() - 9));
  // ppp's parts with dhcp's signature part: a signature of another package.
  std::string ppp_parts = kpk::package_parts(spec("ppp"));
  std::string dhcp_signed = signed_parts(kpk::package_parts(spec("dhcp")));
  std::string foreign = with_header(ppp_parts + dhcp_signed.substr(dhcp_signed.size() - 74));
  // A wanted part after the file data: signed, but the installation stops on it.
  std::string late = with_header(signed_parts(
      ppp_parts + kpk::part(Depends, kpk::ref_list({PackageRef{"x", 0, 0, 0}}))));

  struct Case {
    const char* title;
    std::string archive;
    bool sound;
    bool installs;  // by the installation child
  } cases[] = {
      {"signed package", good, true, true},
      {"signed plain package", signed_archive(spec("ppp"), true), true, true},
      {"signed bundle", kpk::bundle_archive(bundle, {member_a, member_b}, false), true, true},
      {"unsigned package", kpk::package_archive(spec("ppp"), false), false, false},
      {"one bit flipped in a part body", flipped(good.size() - 200), false, false},
      {"one bit flipped in the header", flipped(10), false, false},
      {"one bit flipped in the signature record", flipped(good.size() - 3), false, false},
      {"one byte short", cut, false, false},
      {"one byte short, length relabelled", cut_relabelled, false, false},
      // The child reads parts until the stream ends; the size is checked only when a package
      // file is opened, and here as well.
      {"one byte more", good + "x", false, true},
      {"another package's signature", foreign, false, false},
      {"a wanted part after the signed file data", late, false, false},
      {"two archives in one", with_header(good.substr(8) + other.substr(8)), true, true},
      {"bundle with an unsigned member",
       kpk::bundle_archive(bundle, {member_a, kpk::package_parts(spec("b"))}, false), false,
       true},
      {"bundle without members", kpk::bundle_archive(bundle, {}, false), false, false},
      {"not an archive", "garbage that is not an archive", false, false},
      {"empty file", "", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(archive_is_sound(c.archive.data(), uint32_t(c.archive.size())), c.sound) << c.title;
    std::string file = c.archive.find("suite") != std::string::npos ? "a" : "ppp";
    EXPECT_EQ(child_installs(c.archive, file), c.installs) << c.title << " (installation child)";
  }
}

}  // namespace
