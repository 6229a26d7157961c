#include "testing/signing.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "archive/part_type.h"
#include "integrity/sha1.h"
#include "integrity/signer.h"
#include "integrity/trust_anchors.h"

namespace {

const SigningKey& development_key() {
  static SigningKey key = [] {
    std::ifstream in(std::string(KEST_SOURCE_DIR) + "/trust/development.key");
    std::ostringstream text;
    text << in.rdbuf();
    uint8_t scalar[32];
    SigningKey k;
    if (!parse_key_text(text.str(), scalar) || !signing_key_from_private(k, scalar)) abort();
    return k;
  }();
  return key;
}

}  // namespace

std::string signed_parts(const std::string& parts) {
  std::string header = kpk::part_header(Signature, kSignatureRecordSize);
  Sha1 h;
  h.update(parts.data(), parts.size());
  h.update(header.data(), header.size());
  uint8_t digest[20], record[kSignatureRecordSize];
  h.finish(digest);
  sign_digest(kSignatureHashConstants, development_key(), digest, record);
  return parts + header + std::string(reinterpret_cast<char*>(record), sizeof record);
}

std::string signed_archive(const kpk::PackageSpec& spec, bool plain) {
  std::string parts = signed_parts(kpk::package_parts(spec));
  return kpk::file_header(plain ? kPlainMagic : kRegularMagic, uint32_t(parts.size())) + parts;
}
