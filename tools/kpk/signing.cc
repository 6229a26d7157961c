// kpk keygen, kpk sign and kpk verify.
#include "signing.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/package.h"
#include "archive/package_walk.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "build.h"
#include "commands.h"
#include "integrity/sha1.h"
#include "integrity/signature.h"
#include "integrity/trust_anchors.h"
#include "integrity/trusted_digest.h"
#include "archive/version_text.h"
#include "system/fd_stream.h"

namespace kpk {

namespace {

const char kPrivateComment[] =
    "kpk signing private key: a scalar modulo the group order, 32 bytes little-endian.\n"
    "Keep it secret: installers built with its public key accept whatever it signs.";
const char kPublicComment[] =
    "kpk signing public key: x-coordinate of a Curve25519 point, 32 bytes little-endian.\n"
    "Put it in a trust directory as public_key.hex to build installers that accept it.";


bool random_bytes(uint8_t* out, size_t n, std::string* error) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = getrandom(out + done, n - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *error = std::string("no random bytes: ") + strerror(errno);
      return false;
    }
    done += size_t(got);
  }
  return true;
}

// One part of an archive: where its header starts and its type.
struct RawPart {
  size_t offset;
  size_t size;  // header and body
  uint16_t type;
};

bool split_parts(const std::string& archive, std::vector<RawPart>* parts, std::string* error) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(archive.data());
  if (archive.size() < kFileHeaderSize) {
    *error = "not a package archive (no file header)";
    return false;
  }
  const uint32_t magic = load_le32(bytes);
  if (magic != kRegularMagic && magic != kPlainMagic) {
    *error = "not a package archive (unknown magic)";
    return false;
  }
  size_t at = kFileHeaderSize;
  while (at < archive.size()) {
    if (archive.size() - at < kPartHeaderSize) {
      *error = "ends inside a part header at offset " + std::to_string(at);
      return false;
    }
    const uint64_t size = kPartHeaderSize + uint64_t(load_le32(bytes + at + 2));
    if (size > archive.size() - at) {
      *error = "part at offset " + std::to_string(at) + " is cut short";
      return false;
    }
    parts->push_back(RawPart{at, size_t(size), load_le16(bytes + at)});
    at += size_t(size);
  }
  return true;
}

}  // namespace

bool load_signing_key(const std::string& path, SigningKey* key, std::string* error) {
  std::string text;
  if (!read_file(path, &text, error)) return false;
  uint8_t scalar[32];
  if (!parse_key_text(text, scalar)) {
    *error = path + ": not a key file (one key of 64 hex digits expected)";
    return false;
  }
  if (!signing_key_from_private(*key, scalar)) {
    *error = path + ": not a private key (zero, or not below the group order)";
    return false;
  }
  memset(scalar, 0, sizeof scalar);
  return true;
}

bool sign_archive(const std::string& archive, const SigningKey& key, std::string* out,
                  std::string* error) {
  std::vector<RawPart> parts;
  if (!split_parts(archive, &parts, error)) return false;
  std::string body;  // everything after the file header
  std::string package;
  bool in_package = false;
  int packages = 0;
  auto close_package = [&] {
    if (!in_package) return;
    // The digest covers the package's parts and the signature part's own header.
    const std::string header = part_header(Signature, kSignatureRecordSize);
    package += header;
    Sha1 sha1;
    uint8_t digest[20], record[kSignatureRecordSize];
    sha1.update(package.data(), package.size());
    sha1.finish(digest);
    sign_digest(kSignatureHashConstants, key, digest, record);
    package.append(reinterpret_cast<const char*>(record), sizeof record);
    body += package;
    package.clear();
    ++packages;
  };
  for (const RawPart& p : parts) {
    if (p.type == PackageHeader) {
      close_package();
      in_package = true;
    }
    std::string bytes = archive.substr(p.offset, p.size);
    if (!in_package) {
      body += bytes;
    } else if (p.type != Signature) {  // a signature it had is replaced
      package += bytes;
    }
  }
  close_package();
  if (packages == 0) {
    *error = "no package in the archive";
    return false;
  }
  if (body.size() > 0xFFFFFFFFu - kFileHeaderSize) {
    *error = "archive too large";
    return false;
  }
  *out = file_header(load_le32(reinterpret_cast<const uint8_t*>(archive.data())),
                     uint32_t(body.size())) +
         body;
  return true;
}

const char* verdict_text(PackageVerdict::Kind kind) {
  switch (kind) {
    case PackageVerdict::Signed: return "signed";
    case PackageVerdict::TrustedDigest: return "trusted digest";
    case PackageVerdict::NotGenuine: break;
  }
  return "not genuine";
}

bool check_archive(const std::string& path, const uint8_t* public_key,
                   std::vector<PackageVerdict>* verdicts, std::string* error) {
  FdInStream in(path);
  if (!in.is_open()) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  PartReader r(in, true);
  if (!r) {
    *error = path + ": not a package archive (no valid file header)";
    return false;
  }
  // Walked as the installation child walks it (image mode, the mode of every flow).
  WalkedArchive walked;
  walk_archive(r, WalkMode::kImage, &walked, public_key);
  for (const WalkedPackage& p : walked.packages) {
    PackageVerdict verdict;
    verdict.label = walked_label(p);
    if (p.genuine())
      verdict.kind = p.proof == Proof::kSigned ? PackageVerdict::Signed
                                               : PackageVerdict::TrustedDigest;
    verdicts->push_back(verdict);
  }
  if (verdicts->empty()) {
    *error = path + ": no package in the archive";
    return false;
  }
  return true;
}

int cmd_keygen(int argc, char** argv) {
  if (argc != 2) return fail("usage: kpk keygen PRIVATE.key PUBLIC.hex");
  uint8_t seed[64];
  SigningKey key;
  std::string error;
  if (!random_bytes(seed, sizeof seed, &error)) return fail(error);
  if (!signing_key_from_seed(key, seed)) return fail("unlucky random bytes; run again");
  memset(seed, 0, sizeof seed);
  uint8_t scalar[32];
  signing_key_private_bytes(key, scalar);
  const std::string private_text = key_text(scalar, kPrivateComment);
  memset(scalar, 0, sizeof scalar);
  if (!write_file(argv[0], private_text, 0600, false, &error)) return fail(error);
  if (!write_file(argv[1], key_text(key.public_key, kPublicComment), 0644, false, &error)) {
    unlink(argv[0]);
    return fail(error);
  }
  return 0;
}

int cmd_sign(int argc, char** argv) {
  std::string key_path, in_path, out_path;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if ((a == "-k" || a == "-o") && i + 1 < argc) {
      (a == "-k" ? key_path : out_path) = argv[++i];
    } else if (in_path.empty() && a[0] != '-') {
      in_path = a;
    } else {
      key_path.clear();
      break;
    }
  }
  if (key_path.empty() || in_path.empty()) return fail("usage: kpk sign FILE -k KEY [-o OUT]");
  if (out_path.empty()) out_path = in_path;
  SigningKey key;
  std::string error, archive, signed_archive;
  if (!load_signing_key(key_path, &key, &error)) return fail(error);
  if (!read_file(in_path, &archive, &error)) return fail(error);
  if (!sign_archive(archive, key, &signed_archive, &error)) return fail(in_path + ": " + error);
  if (!write_output(out_path, signed_archive, &error)) return fail(error);
  if (memcmp(key.public_key, kSigningPublicKey, 32) != 0)
    fprintf(stderr, "kpk: note: %s is not the key this kpk's installer build trusts\n",
            key_path.c_str());
  return 0;
}

int cmd_verify(int argc, char** argv) {
  std::string key_path, path;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-k" && i + 1 < argc) {
      key_path = argv[++i];
    } else if (path.empty() && a[0] != '-') {
      path = a;
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty()) return fail("usage: kpk verify FILE [-k PUBLIC.hex]");
  uint8_t public_key[32];
  std::string error;
  if (!key_path.empty()) {
    std::string text;
    if (!read_file(key_path, &text, &error)) return fail(error);
    if (!parse_key_text(text, public_key))
      return fail(key_path + ": not a key file (one key of 64 hex digits expected)");
  }
  std::vector<PackageVerdict> verdicts;
  if (!check_archive(path, key_path.empty() ? nullptr : public_key, &verdicts, &error))
    return fail(error);
  int status = 0;
  for (const PackageVerdict& v : verdicts) {
    printf("%s: %s\n", v.label.c_str(), verdict_text(v.kind));
    if (v.kind == PackageVerdict::NotGenuine) status = 1;
  }
  return status;
}

}  // namespace kpk
