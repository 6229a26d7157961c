// Signed and trusted packages end to end: archives written by kpk's writer and signer, read
// through the part reader as the installation child's single-package mode reads them
// (part types 1, 4 and 9 wanted, source not seekable), judged with verify_signature_part,
// take_package_digest and is_trusted_digest.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "integrity/sha1.h"
#include "integrity/signature.h"
#include "integrity/signer.h"
#include "integrity/trust_anchors.h"
#include "integrity/trusted_digest.h"
#include "signing.h"
#include "testing/stream_util.h"

namespace {

// The test package whose digest the source tree's trust directory lists.
std::string trusted_parts() {
  return kpk::part(PackageHeader, kpk::header_record("trustedtest", 0x01006600, 0)) +
         kpk::part(FileData, std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8));
}

std::string package_parts(const std::string& name) {
  kpk::PackageSpec spec;
  spec.name = name;
  spec.version = 0x01026600;
  spec.has_description = true;  // not wanted in single-package mode: skipped, still hashed
  spec.description = "a package of the signature tests";
  spec.has_files = true;
  kpk::FileEntry f;
  f.name = "etc/" + name;
  f.mode = 0100644;
  f.content = "settings of " + name + "\n";
  spec.files.push_back(f);
  return kpk::package_parts(spec);
}

std::string archive(const std::string& parts) {
  return kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts;
}

// The signature part for a package's parts with a body of length bytes: the record made
// for that header, then tail bytes up to length (cut when length < 68).
std::string signature_part(const SigningKey& key, const std::string& parts, uint32_t length,
                           char tail = 't') {
  const std::string header = kpk::part_header(Signature, length);
  Sha1 sha1;
  uint8_t digest[20], record[kSignatureRecordSize];
  sha1.update(parts.data(), parts.size());
  sha1.update(header.data(), header.size());
  sha1.finish(digest);
  sign_digest(kSignatureHashConstants, key, digest, record);
  std::string body(reinterpret_cast<char*>(record), 68);
  body.resize(length, tail);
  return header + body;
}

// One verdict per package, as the installation step judges it after the file data.
std::vector<bool> judge(const std::string& data, bool hashing = true) {
  MemoryStream in(data, /*seekable=*/false);
  PartReader r(in, hashing);
  r.want(PackageHeader);
  r.want(FileData);
  r.want(Signature);
  std::vector<bool> verdicts;
  r.next_part();
  while (r.current_type() == PackageHeader) {
    char header[kPackageHeaderSize];
    r.read(header, sizeof header);
    r.next_part();
    if (r.current_type() == FileData) r.next_part();
    bool genuine = false;
    if (r.current_type() == Signature) {
      genuine = r.verify_signature_part();
      r.next_part();
    } else if (r.current_type() == PackageHeader || r.current_type() == -1) {
      uint8_t digest[20];
      genuine = r.take_package_digest(digest) && is_trusted_digest(digest);
    }
    verdicts.push_back(genuine);
  }
  return verdicts;
}

class PackageSignature : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(kpk::load_signing_key(std::string(KEST_SOURCE_DIR) + "/trust/development.key",
                                      &key_, &error))
        << error;
    if (memcmp(key_.public_key, kSigningPublicKey, 32) != 0)
      GTEST_SKIP() << "the build does not trust the development key";
  }

  std::string signed_archive(const std::string& parts) {
    std::string out, error;
    EXPECT_TRUE(kpk::sign_archive(archive(parts), key_, &out, &error)) << error;
    return out;
  }

  SigningKey key_;
};

TEST_F(PackageSignature, SignedPackagesAndBundleMembersAreGenuine) {
  EXPECT_EQ(judge(signed_archive(package_parts("alpha"))), std::vector<bool>{true});
  const std::string bundle =
      kpk::part(BundleHeader, kpk::header_record("suite", 0x01006600, 0)) +
      package_parts("alpha") + package_parts("beta");
  EXPECT_EQ(judge(signed_archive(bundle)), (std::vector<bool>{true, true}));
  EXPECT_EQ(judge(archive(package_parts("alpha"))), std::vector<bool>{false});
}

// Any byte from the PackageHeader part header to the signature part header, and any byte of
// the record, changes the verdict.
TEST_F(PackageSignature, EveryChangedByteFails) {
  const std::string good = signed_archive(package_parts("alpha"));
  ASSERT_EQ(judge(good), std::vector<bool>{true});
  for (size_t i = kFileHeaderSize; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] ^= 0x04;
    EXPECT_NE(judge(bad), std::vector<bool>{true}) << "byte " << i;
  }
}

TEST_F(PackageSignature, BytesAfterTheRecordDoNotMatterAndShortRecordsFail) {
  const std::string parts = package_parts("alpha");
  for (char tail : {'a', 'b', '\0'}) {
    EXPECT_EQ(judge(archive(parts + signature_part(key_, parts, 75, tail))),
              std::vector<bool>{true});
  }
  EXPECT_EQ(judge(archive(parts + signature_part(key_, parts, 68))), std::vector<bool>{true});
  EXPECT_EQ(judge(archive(parts + signature_part(key_, parts, 67))), std::vector<bool>{false});
  // The package after a long signature part is judged on its own.
  EXPECT_EQ(judge(archive(parts + signature_part(key_, parts, 80) + trusted_parts())),
            (std::vector<bool>{true, true}));
}

TEST_F(PackageSignature, ReaderWithoutHashingAcceptsNoSignature) {
  EXPECT_EQ(judge(signed_archive(package_parts("alpha")), /*hashing=*/false),
            std::vector<bool>{false});
}

// The record is read past the digest but still reaches the copy target (the saved image).
TEST_F(PackageSignature, RecordReachesTheCopyTarget) {
  const std::string data = signed_archive(package_parts("alpha"));
  MemoryStream in(data, false);
  StringSink copy;
  PartReader r(in, true, &copy);
  r.want(Signature);
  ASSERT_EQ(r.next_part(), Signature);
  EXPECT_TRUE(r.verify_signature_part());
  EXPECT_EQ(r.next_part(), -1);
  EXPECT_EQ(copy.data(), data);
}

class TrustedDigest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string parts = trusted_parts();
    uint8_t digest[20];
    Sha1 sha1;
    sha1.update(parts.data(), parts.size());
    sha1.finish(digest);
    if (!is_trusted_digest(digest))
      GTEST_SKIP() << "the trusted test package is not on this build's list";
  }
};

TEST_F(TrustedDigest, AcceptedAtTheEndAndBeforeTheNextPackage) {
  EXPECT_EQ(judge(archive(trusted_parts())), std::vector<bool>{true});
  EXPECT_EQ(judge(archive(trusted_parts() + trusted_parts())), (std::vector<bool>{true, true}));
  EXPECT_EQ(judge(archive(trusted_parts() + package_parts("alpha"))),
            (std::vector<bool>{true, false}));
}

TEST_F(TrustedDigest, RejectedWhenAnotherWantedPartFollows) {
  const std::string second_file_data =
      kpk::part(FileData, std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8));
  EXPECT_EQ(judge(archive(trusted_parts() + second_file_data)), std::vector<bool>{false});
  // An unwanted part is skipped but belongs to the digest, which then is not on the list.
  EXPECT_EQ(judge(archive(trusted_parts() + kpk::part(5, "x"))), std::vector<bool>{false});
  // A change of any byte changes the digest.
  const std::string good = archive(trusted_parts());
  for (size_t i = kFileHeaderSize; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] ^= 0x01;
    EXPECT_NE(judge(bad), std::vector<bool>{true}) << "byte " << i;
  }
}

TEST_F(TrustedDigest, DigestIsTakenOnce) {
  MemoryStream in(archive(trusted_parts()), false);
  PartReader r(in, true);
  r.want(PackageHeader);
  ASSERT_EQ(r.next_part(), PackageHeader);
  ASSERT_EQ(r.next_part(), -1);
  uint8_t first[20], second[20] = {};
  EXPECT_TRUE(r.take_package_digest(first));
  EXPECT_TRUE(is_trusted_digest(first));
  EXPECT_FALSE(r.take_package_digest(second));
  const uint8_t zero[20] = {};
  EXPECT_EQ(memcmp(second, zero, 20), 0);  // left unchanged
}

TEST(TrustedDigestList, LooksAtAllTwentyBytes) {
  for (uint32_t i = 0; i < kTrustedDigestCount; ++i) {
    uint8_t d[20];
    memcpy(d, kTrustedDigests[i], 20);
    EXPECT_TRUE(is_trusted_digest(d));
    for (int j : {0, 19}) {
      d[j] ^= 1;
      EXPECT_FALSE(is_trusted_digest(d)) << "entry " << i << " byte " << j;
      d[j] ^= 1;
    }
  }
  uint8_t zero[20] = {};
  EXPECT_FALSE(is_trusted_digest(zero));
}

}  // namespace
