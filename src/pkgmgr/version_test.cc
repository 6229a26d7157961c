#include "pkgmgr/version.h"

#include <gtest/gtest.h>

#include "archive/package.h"

namespace {

TEST(Version, TextForms) {
  EXPECT_STREQ(version_text(0x03006600), "3.0");
  EXPECT_STREQ(version_text(0x03006601), "3.0.1");
  EXPECT_STREQ(version_text(0x0300630A), "3.0rc10");
  EXPECT_STREQ(version_text(0x03006200), "3.0beta");
  EXPECT_STREQ(version_text(0x03006205), "3.0beta5");
  EXPECT_STREQ(version_text(0x03006102), "3.0alpha2");
  EXPECT_STREQ(version_text(0x03006100), "3.0alpha");
  EXPECT_STREQ(version_text(0x03006300), "3.0rc");
  EXPECT_STREQ(version_text(0x03000005), "3.05");
  EXPECT_STREQ(version_text(0x02097805), "2.95");
  EXPECT_STREQ(version_text(0xFFFFFFFF), "255.255255");
  EXPECT_STREQ(version_text(0), "0.0");
}

TEST(Version, ParseIsTheInverseOfTheTextForm) {
  for (uint32_t v : {0x03006600u, 0x03006601u, 0x0300630Au, 0x03006200u, 0x03006102u,
                     0xFF0A66FFu, 0x00006100u}) {
    uint32_t parsed = 0;
    ASSERT_TRUE(parse_version(version_text(v), &parsed)) << version_text(v);
    EXPECT_EQ(parsed, v) << version_text(v);
  }
  uint32_t v;
  EXPECT_TRUE(parse_version("0x02097805", &v));
  EXPECT_EQ(v, 0x02097805u);
  for (const char* bad : {"", "3", "3.", "3.0.", "3.0.0", "256.0", "3.0gamma", "3.0rc1x",
                          "3.0.1.2", "x3.0", "0x123456789", "3.1000"})
    EXPECT_FALSE(parse_version(bad, &v)) << bad;
}

TEST(Version, ComparePackages) {
  PackageInfo a, b;
  a.name = b.name = "p";
  a.version = b.version = 0x03006600;
  a.build = 100;
  b.build = 200;
  EXPECT_EQ(compare_packages(a, b), -1);
  EXPECT_EQ(compare_packages(b, a), 1);
  b.build = 100;
  EXPECT_EQ(compare_packages(a, b), 0);
  b.version = 0x0300FF01;  // a stage byte past 'f' is still just a bigger number
  EXPECT_EQ(compare_packages(b, a), 1);
  b.name = "q";
  EXPECT_EQ(compare_packages(a, b), 0);  // unrelated

  // A bundle is compared through its member of the other's name, on either side.
  PackageInfo bundle;
  bundle.name = "bundle";
  auto member = std::make_unique<PackageInfo>();
  member->name = "p";
  member->version = 0x04006600;
  bundle.members.push_back(std::move(member));
  EXPECT_EQ(compare_packages(bundle, a), 1);
  EXPECT_EQ(compare_packages(a, bundle), -1);
}

TEST(Version, Labels) {
  PackageInfo p;
  p.name = "system";
  p.version = 0x03006600;
  EXPECT_EQ(package_label(p), "system-3.0");
  EXPECT_EQ(requirement_label(PackageRef{"ppp", 0, 0x05006600, 0}), "ppp");
  EXPECT_EQ(requirement_label(PackageRef{"ppp", 0x03006301, 0, 0}), "ppp-3.0rc1");
}

}  // namespace
