// Signing package archives and checking them as the installer does, for kpk keygen, kpk sign
// and kpk verify.
#pragma once

#include <string>
#include <vector>

#include "integrity/signer.h"

namespace kpk {

// Reads a private key file. False with a one-line reason.
bool load_signing_key(const std::string& path, SigningKey* key, std::string* error);

// Adds a signature part to every package of an archive (each member of a bundle), at the
// end of the package, replacing any signature part the package already has. The file
// header's length is rewritten. Deterministic: the same key and archive give the same
// bytes. False with a reason when the archive is not a well-formed sequence of parts or
// holds no package.
bool sign_archive(const std::string& archive, const SigningKey& key, std::string* out,
                  std::string* error);

// The verdict on one package of an archive.
struct PackageVerdict {
  std::string label;  // name-version
  enum Kind { Signed, TrustedDigest, NotGenuine } kind = NotGenuine;
};

// Walks an archive as the installer's installation child does (image mode) and judges each
// package: a signature part that verifies (with public_key, or the built-in key when it is
// null), or at the next package or the end of the stream a digest on the trusted list.
// False when the archive cannot be read at all.
bool check_archive(const std::string& path, const uint8_t* public_key,
                   std::vector<PackageVerdict>* verdicts, std::string* error);

const char* verdict_text(PackageVerdict::Kind kind);

}  // namespace kpk
