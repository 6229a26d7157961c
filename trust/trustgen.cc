// Build-time generator of the trust anchor tables. Reads a trust directory (public_key.hex,
// signature_hash.hex, trusted_digests.hex), refuses anchors the installer cannot use, and
// writes a C++ source with the read-only tables that integrity/trust_anchors.h declares.
//
//   kest_trustgen TRUST_DIR OUTPUT.cc
//
// Exit status 0 when OUTPUT.cc was written, 1 with a message on standard error otherwise.
// Refused: a public key that is not the x-coordinate of a curve point, a point of small
// order (dividing 8), or a value written at or above 2^255 - 19; a wrong number of words or
// digits anywhere; a trusted digest listed twice, or the digest of the empty byte string
// (no package hashes to it, and a reader that has not yet hashed anything holds it).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "integrity/curve25519.h"

namespace {

bool fail(const std::string& message) {
  fprintf(stderr, "kest_trustgen: %s\n", message.c_str());
  return false;
}

// The whitespace-separated words of a file, without '#' comments.
bool read_words(const std::string& path, std::vector<std::string>* words) {
  std::ifstream in(path);
  if (!in) return fail("cannot read " + path);
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string word;
    while (fields >> word) words->push_back(word);
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes a word of exactly 2 * n hex digits into n bytes, in the order written.
bool decode_hex(const std::string& word, size_t n, uint8_t* out) {
  if (word.size() != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    int hi = hex_value(word[2 * i]), lo = hex_value(word[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = uint8_t(hi << 4 | lo);
  }
  return true;
}

// Little-endian 256-bit value below p = 2^255 - 19.
bool below_p(const uint8_t x[32]) {
  if (x[31] < 0x7f) return true;
  if (x[31] > 0x7f) return false;
  for (int i = 30; i >= 1; --i)
    if (x[i] != 0xff) return true;
  return x[0] < 0xed;
}

std::string bytes_initializer(const uint8_t* p, size_t n) {
  std::string s;
  char b[8];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof b, "0x%02x,", p[i]);
    s += b;
    s += (i % 16 == 15) ? "\n    " : " ";
  }
  return s;
}

bool read_public_key(const std::string& dir, uint8_t key[32]) {
  const std::string path = dir + "/public_key.hex";
  std::vector<std::string> words;
  if (!read_words(path, &words)) return false;
  if (words.size() != 1 || !decode_hex(words[0], 32, key))
    return fail(path + ": expected one key of 64 hex digits");
  if (!below_p(key)) return fail(path + ": the key is not written reduced below 2^255 - 19");
  if (!curve_valid_public_key(key))
    return fail(path + ": the key is not a point of the curve, or its order divides 8");
  return true;
}

bool read_hash_constants(const std::string& dir, uint32_t words32[72]) {
  const std::string path = dir + "/signature_hash.hex";
  std::vector<std::string> words;
  if (!read_words(path, &words)) return false;
  if (words.size() != 72)
    return fail(path + ": expected 72 words (8 initial value, 64 round constants), found " +
                std::to_string(words.size()));
  for (size_t i = 0; i < 72; ++i) {
    uint8_t b[4];
    if (!decode_hex(words[i], 4, b))
      return fail(path + ": word " + std::to_string(i + 1) + " is not 8 hex digits");
    words32[i] = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  }
  return true;
}

bool read_trusted_digests(const std::string& dir, std::vector<std::string>* digests) {
  const std::string path = dir + "/trusted_digests.hex";
  std::vector<std::string> words;
  if (!read_words(path, &words)) return false;
  static const char kEmptyDigest[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
  std::set<std::string> seen;
  for (size_t i = 0; i < words.size(); ++i) {
    uint8_t d[20];
    std::string lower;
    for (char c : words[i]) lower += char(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (!decode_hex(lower, 20, d))
      return fail(path + ": entry " + std::to_string(i + 1) + " is not 40 hex digits");
    if (lower == kEmptyDigest)
      return fail(path + ": entry " + std::to_string(i + 1) + " is the digest of nothing");
    if (!seen.insert(lower).second)
      return fail(path + ": entry " + std::to_string(i + 1) + " is listed twice");
    digests->push_back(bytes_initializer(d, 20));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: kest_trustgen TRUST_DIR OUTPUT.cc\n");
    return 1;
  }
  const std::string dir = argv[1];
  uint8_t key[32];
  uint32_t constants[72];
  std::vector<std::string> digests;
  if (!read_public_key(dir, key) || !read_hash_constants(dir, constants) ||
      !read_trusted_digests(dir, &digests))
    return 1;

  std::ostringstream out;
  out << "// Generated by kest_trustgen from " << dir << "; do not edit.\n"
      << "#include \"integrity/trust_anchors.h\"\n\n"
      << "const uint8_t kSigningPublicKey[32] = {\n    " << bytes_initializer(key, 32)
      << "};\n\n"
      << "const SignatureHashConstants kSignatureHashConstants = {\n    {";
  char b[16];
  for (int i = 0; i < 72; ++i) {
    snprintf(b, sizeof b, "0x%08x", constants[i]);
    out << b << (i == 7 ? "},\n    {" : i == 71 ? "}};\n\n" : (i % 8 == 7) ? ",\n     " : ", ");
  }
  out << "namespace {\nconst uint8_t kDigestTable[" << (digests.empty() ? 1 : digests.size())
      << "][20] = {\n";
  for (const std::string& d : digests) out << "    {" << d << "},\n";
  out << "};\n}  // namespace\n\n"
      << "const uint8_t (*const kTrustedDigests)[20] = kDigestTable;\n"
      << "const uint32_t kTrustedDigestCount = " << digests.size() << ";\n";

  const std::string text = out.str();
  std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) {
    fprintf(stderr, "kest_trustgen: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
