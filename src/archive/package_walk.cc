#include "archive/package_walk.h"

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive/version_text.h"
#include "integrity/trusted_digest.h"

namespace {

// The first walk does nothing with the parts: they are read through (and hashed) by next_part.
class PassOver : public PackageParts {};

}  // namespace

void want_installation_parts(PartReader& r, WalkMode mode) {
  if (mode == WalkMode::kSinglePackage) {
    for (int32_t type : {PackageHeader, FileData, Signature}) r.want(type);
    return;
  }
  for (int32_t type : {PackageHeader, BundleHeader, BundleContents, Architecture, Depends,
                       Provides, Conflicts, Image, FileData, InstallScript, UninstallScript,
                       Signature})
    r.want(type);
}

Proof prove_package(PartReader& r, const uint8_t* public_key) {
  if (r.current_type() == Signature) {
    if (!r.verify_signature_part(public_key)) return Proof::kNone;
    r.next_part();
    return Proof::kSigned;
  }
  // Any other part here means that the digest slot holds no digest of this package.
  if (r.current_type() != PackageHeader && r.current_type() != -1) return Proof::kNone;
  uint8_t digest[20];
  if (r.take_package_digest(digest) && is_trusted_digest(digest)) return Proof::kTrustedDigest;
  return Proof::kNone;
}

Proof prove_judged_package(PartReader& r, const WalkedPackage& judged) {
  if (r.current_type() == Signature) {
    r.next_part();
    return judged.proof == Proof::kSigned ? Proof::kSigned : Proof::kNone;
  }
  if (r.current_type() != PackageHeader && r.current_type() != -1) return Proof::kNone;
  return judged.proof == Proof::kTrustedDigest ? Proof::kTrustedDigest : Proof::kNone;
}

Proof walk_package_parts(PartReader& r, PackageParts& parts, bool* stopped,
                         const WalkedPackage* judged, const uint8_t* public_key) {
  *stopped = false;
  struct Step {
    int32_t type;
    bool (PackageParts::*take)(PartReader&);
  };
  static const Step kSteps[] = {{Image, &PackageParts::image},
                                {InstallScript, &PackageParts::install_script},
                                {UninstallScript, &PackageParts::uninstall_script},
                                {FileData, &PackageParts::file_data}};
  for (const Step& step : kSteps) {
    if (r.current_type() != step.type) continue;
    if (!(parts.*step.take)(r)) {
      *stopped = true;
      return Proof::kNone;
    }
    r.next_part();
  }
  return judged ? prove_judged_package(r, *judged) : prove_package(r, public_key);
}

void skip_package(PartReader& r) {
  while (r.current_type() != PackageHeader && r.current_type() != -1) r.next_part();
}

const WalkedPackage* WalkedArchive::at(uint32_t offset) const {
  for (const WalkedPackage& p : packages)
    if (p.offset == offset) return &p;
  return nullptr;
}

bool WalkedArchive::any_genuine() const {
  for (const WalkedPackage& p : packages)
    if (p.genuine()) return true;
  return false;
}

void walk_archive(PartReader& r, WalkMode mode, WalkedArchive* out, const uint8_t* public_key) {
  *out = WalkedArchive();
  want_installation_parts(r, mode);
  int32_t type = r.next_part();
  if (type == BundleHeader) {
    out->bundle = true;
    out->bundle_readable = read_package_info(out->bundle_info, r);
    if (!out->bundle_readable) return;
    if (r.current_type() == Image) r.next_part();
    if (r.current_type() == BundleContents) {
      read_ref_list(r, out->contents);
      r.next_part();
    }
  } else if (type != PackageHeader) {
    return;
  }
  out->readable = true;
  PassOver pass;
  while (r.current_type() == PackageHeader) {
    if (out->packages.size() == kMaxWalkedPackages) {
      out->too_many = true;
      return;
    }
    WalkedPackage p;
    p.offset = r.position();
    PackageInfo info;
    p.readable = read_package_info(info, r);
    p.name = info.name;
    p.version = info.version;
    if (p.readable) {
      bool stopped = false;
      p.proof = walk_package_parts(r, pass, &stopped, nullptr, public_key);
    } else {
      r.next_part();  // the reader may still stand on the header it could not read
    }
    skip_package(r);
    out->packages.push_back(std::move(p));
  }
}

std::string walked_label(const WalkedPackage& p) {
  if (p.name.empty()) return "(unnamed package)";
  return p.name + "-" + version_text(p.version);
}

bool archive_is_genuine(std::istream& in, uint64_t size) {
  PartReader r(in, true);
  if (r.bad() || r.total_length() != size) return false;
  WalkedArchive walked;
  walk_archive(r, WalkMode::kImage, &walked);
  if (!walked.readable || walked.packages.empty() || walked.too_many) return false;
  if (!walked.bundle) return walked.packages.front().genuine();
  for (const WalkedPackage& member : walked.packages)
    if (!member.genuine()) return false;
  return true;
}
