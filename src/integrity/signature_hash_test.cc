#include "integrity/signature_hash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "integrity/test_support.h"

namespace {


std::string hash_hex(const SignatureHashConstants& c, const std::string& m) {
  uint8_t out[32];
  signature_hash(c, m.data(), m.size(), out);
  return hex(out, 32);
}

std::string pattern(size_t n) {
  std::string m(n, '\0');
  for (size_t i = 0; i < n; ++i) m[i] = char((31 * i + 7) & 0xff);
  return m;
}

// The constants of a trust directory file: 72 hex words, '#' comments.
bool parse_constants(const std::string& text, SignatureHashConstants* c) {
  std::istringstream lines(text);
  std::string line;
  std::vector<uint32_t> words;
  while (std::getline(lines, line)) {
    std::istringstream w(line.substr(0, line.find('#')));
    std::string word;
    while (w >> word) words.push_back(uint32_t(std::stoul(word, nullptr, 16)));
  }
  if (words.size() != 72) return false;
  memcpy(c->initial, words.data(), 32);
  memcpy(c->rounds, words.data() + 8, 256);
  return true;
}

TEST(SignatureHash, StandardConstantsGiveSha256) {
  // FIPS 180-4 examples.
  EXPECT_EQ(hash_hex(kSha256Constants, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash_hex(kSha256Constants, ""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hash_hex(kSha256Constants, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hash_hex(kSha256Constants, std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Every length up to a few blocks, around each padding boundary, against Python's hashlib.
TEST(SignatureHash, MatchesPythonHashlib) {
  const char* command =
      "python3 -c \"import hashlib\n"
      "for n in range(300): print(hashlib.sha256(bytes((31*i+7)&255 for i in range(n)))"
      ".hexdigest())\" 2>/dev/null";
  FILE* p = popen(command, "r");
  ASSERT_NE(p, nullptr);
  char line[128];
  size_t n = 0;
  while (fgets(line, sizeof line, p)) {
    EXPECT_EQ(hash_hex(kSha256Constants, pattern(n)), std::string(line, 64)) << "length " << n;
    ++n;
  }
  int status = pclose(p);
  if (n == 0 && status != 0) GTEST_SKIP() << "python3 is not available";
  EXPECT_EQ(n, 300u);
}

// Our own constants, against a Python implementation that takes the constants as parameters.
TEST(SignatureHash, OwnConstantsMatchPythonReference) {
  SignatureHashConstants c;
  ASSERT_TRUE(parse_constants(integrity_test::read_file(
                                  integrity_test::source_path("trust/signature_hash.hex")),
                              &c));
  int checked = 0;
  for (const auto& w : integrity_test::data_lines("hash_vectors.txt")) {
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(hash_hex(c, pattern(std::stoul(w[1]))), w[2]) << "length " << w[1];
    ++checked;
  }
  EXPECT_EQ(checked, 12);
  EXPECT_NE(hash_hex(c, "abc"), hash_hex(kSha256Constants, "abc"));
}

// The committed constants follow the rule written down in trust/README.md.
TEST(SignatureHash, TrustFileFollowsDocumentedRule) {
  SignatureHashConstants c;
  ASSERT_TRUE(parse_constants(integrity_test::read_file(
                                  integrity_test::source_path("trust/signature_hash.hex")),
                              &c));
  auto rule = [](const std::string& label) {
    uint8_t d[32];
    signature_hash(kSha256Constants, label.data(), label.size(), d);
    return uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
  };
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(c.initial[i], rule("signature hash initial value " + std::to_string(i))) << i;
  for (int i = 0; i < 64; ++i)
    EXPECT_EQ(c.rounds[i], rule("signature hash round constant " + std::to_string(i))) << i;
}

}  // namespace
