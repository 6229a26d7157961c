// Helpers shared by the integrity unit tests: decoding hex text, the test data directory, the trust
// directory of the source tree, and a deterministic byte source.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "integrity/hex.h"

namespace integrity_test {

// Decodes hex text into n bytes; aborts the test binary on malformed input, which only the
// test's own constants can produce.
inline void unhex(const std::string& text, uint8_t* out, size_t n) {
  if (text.size() != 2 * n) {
    fprintf(stderr, "bad hex constant %s\n", text.c_str());
    abort();
  }
  for (size_t i = 0; i < n; ++i) out[i] = uint8_t(std::stoul(text.substr(2 * i, 2), nullptr, 16));
}

inline std::string source_path(const std::string& relative) {
  return std::string(KEST_SOURCE_DIR) + "/" + relative;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The lines of a test data file, without comments and blank lines, split into words.
inline std::vector<std::vector<std::string>> data_lines(const std::string& name) {
  std::vector<std::vector<std::string>> out;
  std::istringstream in(read_file(source_path("src/integrity/testdata/" + name)));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::vector<std::string> w;
    std::string word;
    while (words >> word) w.push_back(word);
    out.push_back(w);
  }
  return out;
}

// A small deterministic generator (xorshift), so that failures reproduce.
class TestRandom {
 public:
  explicit TestRandom(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  void fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t(next() >> 32);
  }

 private:
  uint64_t state_;
};

}  // namespace integrity_test
