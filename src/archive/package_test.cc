#include "archive/package.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "testing/stream_util.h"

namespace {

using kpk::part;

PackageRef ref(const char* name, uint32_t min = 0, uint32_t max = 0, int32_t priority = 0) {
  return PackageRef{name, min, max, priority};
}

std::string archive(const std::string& parts) {
  return kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts;
}

std::string header(const char* name, uint32_t version = 0x03006600, uint32_t build = 7,
                   int32_t type = PackageHeader) {
  return part(uint16_t(type), kpk::header_record(name, version, build));
}

// Reads a record with every metadata type wanted, as the menu does.
bool read_info(const std::string& bytes, PackageInfo* info, int32_t* left_on = nullptr) {
  MemoryStream in(bytes);
  PartReader r(in, true);
  for (int32_t t : {BundleHeader, PackageHeader, Architecture, Description, Depends, Provides,
                    Conflicts, Image})
    r.want(t);
  r.next_part();
  bool ok = read_package_info(*info, r);
  if (left_on) *left_on = r.current_type();
  return ok;
}

TEST(ReadPackageInfo, HeaderAndMetadataInOrder) {
  PackageInfo p;
  std::string parts = header("shaper", 0x03006301, 1700000000) + part(Architecture, std::string("mips\0x", 6)) +
                      part(Description, "Traffic\nshaper") +
                      part(Depends, kpk::ref_list({ref("system", 0x03006600), ref("filters")})) +
                      part(Provides, kpk::ref_list({ref("qos", 0, 0, -5)})) +
                      part(Conflicts, kpk::ref_list({ref("oldshaper", 0, 0x02006600)})) +
                      part(Image, "img");
  int32_t left = 0;
  ASSERT_TRUE(read_info(archive(parts), &p, &left));
  EXPECT_EQ(p.name, "shaper");
  EXPECT_EQ(p.version, 0x03006301u);
  EXPECT_EQ(p.build, 1700000000u);
  EXPECT_EQ(p.architecture, std::string("mips\0x", 6));
  EXPECT_EQ(p.description, "Traffic\nshaper");
  ASSERT_EQ(p.depends.size(), 2u);
  EXPECT_EQ(p.depends[0].name, "system");
  EXPECT_EQ(p.depends[0].min_version, 0x03006600u);
  ASSERT_EQ(p.provides.size(), 1u);
  EXPECT_EQ(p.provides[0].priority, -5);
  ASSERT_EQ(p.conflicts.size(), 1u);
  EXPECT_EQ(p.conflicts[0].max_version, 0x02006600u);
  EXPECT_TRUE(p.has_image);
  EXPECT_FALSE(p.is_bundle);
  EXPECT_EQ(left, Image);
}

TEST(ReadPackageInfo, DefaultsNamesAndOrder) {
  PackageInfo p;
  ASSERT_TRUE(read_info(archive(header("abc")), &p));
  EXPECT_EQ(p.architecture, "i386");
  EXPECT_EQ(p.name, "abc");

  PackageInfo full;
  ASSERT_TRUE(read_info(archive(header("0123456789abcdefXYZ")), &full));
  EXPECT_EQ(full.name, "0123456789abcdef");

  // Dependencies before the description: the description part ends the metadata.
  PackageInfo q;
  int32_t left = 0;
  ASSERT_TRUE(read_info(archive(header("q") + part(Depends, kpk::ref_list({ref("a")})) +
                                part(Description, "late")),
                        &q, &left));
  EXPECT_EQ(q.depends.size(), 1u);
  EXPECT_EQ(q.description, "");
  EXPECT_EQ(left, Description);
}

TEST(ReadPackageInfo, ReferenceListsAreCheckedAgainstTheirCount) {
  PackageInfo p;
  ASSERT_TRUE(read_info(archive(header("p") + part(Depends, std::string("\0\0", 2))), &p));
  EXPECT_TRUE(p.depends.empty());
  // Extra bytes after the last record are ignored.
  PackageInfo extra;
  ASSERT_TRUE(read_info(archive(header("p") + part(Depends, kpk::ref_list({ref("a")}) + "junk")),
                        &extra));
  EXPECT_EQ(extra.depends.size(), 1u);
  // A count of 2 with a body of 34 bytes fails, as does a count of 65535 over nothing.
  std::string two = kpk::ref_list({ref("a"), ref("b")}).substr(0, 34);
  PackageInfo short_list;
  EXPECT_FALSE(read_info(archive(header("p") + part(Depends, two)), &short_list));
  PackageInfo huge;
  EXPECT_FALSE(read_info(archive(header("p") + part(Provides, "\xff\xff")), &huge));
  PackageInfo cut;
  EXPECT_FALSE(read_info(archive(part(PackageHeader, "short")), &cut));
}

TEST(ReadPackageInfo, LyingDescriptionLengthCostsOnlyTheBytesPresent) {
  PackageInfo p;
  std::string parts = header("p") + kpk::part_header(Description, 0xFFFFFFF0) + "short text";
  EXPECT_TRUE(read_info(archive(parts), &p));
  EXPECT_EQ(p.description, "short text");
  EXPECT_EQ(p.architecture, "i386");
}

class PackageFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& bytes) {
    path_ = ::testing::TempDir() + "pkgfile_test.kpk";
    std::ofstream(path_, std::ios::binary) << bytes;
    return path_;
  }
  void TearDown() override { remove(path_.c_str()); }
  std::string path_;
};

TEST_F(PackageFileTest, SizeMustMatchTheHeader) {
  std::string bytes = archive(header("abc"));
  PackageFile f;
  ASSERT_TRUE(read_package_file(f, write(bytes)));
  EXPECT_EQ(f.total_length, bytes.size());
  EXPECT_FALSE(f.plain);
  PackageFile cut;
  EXPECT_FALSE(read_package_file(cut, write(bytes.substr(0, bytes.size() - 1))));
  EXPECT_EQ(cut.name, "");  // failed before any part was read
  PackageFile missing;
  EXPECT_FALSE(read_package_file(missing, "/nonexistent/x.kpk"));
  PackageFile dir;
  EXPECT_FALSE(read_package_file(dir, ::testing::TempDir()));
}

TEST_F(PackageFileTest, BundlesCarryTheirMembers) {
  kpk::BundleSpec spec;
  spec.name = "suite";
  spec.version = 0x01006600;
  spec.has_image = true;
  spec.image = "bundle image";
  spec.has_contents = true;
  spec.contents = {ref("a"), ref("b")};
  kpk::PackageSpec a, b;
  a.name = "a";
  a.has_image = true;
  b.name = "b";
  b.depends = {ref("a")};
  b.has_files = true;
  std::string bytes = kpk::bundle_archive(
      spec, {kpk::package_parts(a), kpk::package_parts(b)}, true);
  PackageFile f;
  ASSERT_TRUE(read_package_file(f, write(bytes)));
  EXPECT_TRUE(f.is_bundle);
  EXPECT_TRUE(f.plain);
  EXPECT_TRUE(f.has_image);
  ASSERT_EQ(f.members.size(), 2u);
  EXPECT_EQ(f.members[0]->name, "a");
  EXPECT_TRUE(f.members[0]->has_image);
  EXPECT_EQ(f.members[1]->name, "b");
  EXPECT_EQ(f.members[1]->depends.size(), 1u);

  PackageFile empty;
  EXPECT_FALSE(read_package_file(empty, write(archive(header("suite", 1, 1, BundleHeader)))));
  EXPECT_TRUE(empty.is_bundle);
}

TEST(Predicates, SatisfiesAndRanges) {
  PackageInfo p;
  p.name = "lib";
  p.version = 0x03006100;  // 3.0alpha
  EXPECT_TRUE(satisfies(p, ref("lib")));
  EXPECT_FALSE(satisfies(p, ref("lib", 0x03006600)));
  EXPECT_TRUE(satisfies(p, ref("lib", 0x03006100, 0x03006100)));
  EXPECT_FALSE(satisfies(p, ref("lib", 0, 0x03000000)));
  EXPECT_FALSE(satisfies(p, ref("li")));

  EXPECT_FALSE(ranges_overlap(ref("x", 5, 0), ref("x", 0, 4)));
  EXPECT_TRUE(ranges_overlap(ref("x", 5, 0), ref("x", 0, 0)));
  EXPECT_TRUE(ranges_overlap(ref("x", 0, 6), ref("x", 6, 0)));
  EXPECT_FALSE(ranges_overlap(ref("x", 0, 5), ref("x", 6, 0)));
  EXPECT_FALSE(ranges_overlap(ref("x"), ref("y")));
}

PackageInfo pkg(const char* name, std::vector<PackageRef> provides = {},
                std::vector<PackageRef> conflicts = {}) {
  PackageInfo p;
  p.name = name;
  p.version = 0x01006600;
  p.provides = std::move(provides);
  p.conflicts = std::move(conflicts);
  return p;
}

TEST(Predicates, ExcludesByProvisionPriority) {
  PackageInfo a = pkg("a", {ref("b")});
  PackageInfo b = pkg("b");
  EXPECT_TRUE(excludes(a, b));
  EXPECT_FALSE(excludes(b, a));

  PackageInfo x3 = pkg("a", {ref("X", 0, 0, 3)}), y3 = pkg("b", {ref("X", 0, 0, 3)});
  EXPECT_FALSE(excludes(x3, y3));
  EXPECT_FALSE(excludes(y3, x3));
  PackageInfo x4 = pkg("a", {ref("X", 0, 0, 4)});
  EXPECT_TRUE(excludes(x4, y3));
  EXPECT_FALSE(excludes(y3, x4));

  // A name provided with a negative priority keeps the original in front, and the first name
  // match decides even when it says no: the conflict entry below is never looked at.
  PackageInfo weak = pkg("b", {ref("a", 0, 0, -1)}, {});
  PackageInfo strong = pkg("a", {}, {ref("nothing")});
  EXPECT_TRUE(excludes(strong, weak));
  PackageInfo conflicted = pkg("a", {}, {ref("b")});
  EXPECT_TRUE(excludes(conflicted, weak));  // step 1 comes first
  PackageInfo shadow = pkg("a", {}, {ref("b-alias")});
  PackageInfo keeper = pkg("b", {ref("a", 0, 0, 0), ref("b-alias")});
  EXPECT_FALSE(excludes(shadow, keeper));  // decided at the provided-name step
}

TEST(Predicates, BundlesAndMembers) {
  PackageInfo bundle = pkg("suite");
  auto m = std::make_unique<PackageInfo>(pkg("ppp", {}, {ref("pppoe")}));
  m->depends = {ref("system")};
  bundle.members.push_back(std::move(m));
  PackageInfo system = pkg("system"), ppp = pkg("ppp"), pppoe = pkg("pppoe");
  EXPECT_TRUE(depends_on(bundle, system));  // through its member
  EXPECT_TRUE(has_name(bundle, "ppp"));
  EXPECT_FALSE(has_name(bundle, "system"));
  EXPECT_TRUE(excludes(ppp, bundle));      // the bundle carries a member named ppp
  EXPECT_TRUE(excludes(bundle, pppoe));    // a member's conflict
  PackageInfo user = pkg("user");
  user.depends = {ref("ppp")};
  EXPECT_TRUE(depends_on(user, bundle));  // provided by a member
  PackageInfo other = pkg("other");
  other.depends = {ref("qos", 2, 0)};
  PackageInfo provider = pkg("shaper", {ref("qos", 0, 1)});
  EXPECT_FALSE(depends_on(other, provider));
  provider.provides[0].max_version = 3;
  EXPECT_TRUE(depends_on(other, provider));
}

TEST(Predicates, DisplayLabel) {
  Package p;
  p.name = "ppp";
  p.version = 0x02006601;
  EXPECT_EQ(display_label(p), "ppp-2.0.1");
  p.bundle = ref("suite", 0x01006600, 0x01006600);
  EXPECT_EQ(display_label(p), "suite-1.0");
}

}  // namespace
