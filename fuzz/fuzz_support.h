// Shared pieces of the fuzz targets: a scratch root that stays for the whole fuzzing process,
// a fingerprint of a directory tree (to prove that nothing changed where nothing may), the
// count of open descriptors, a byte reader that turns fuzz input into structured choices,
// and a directory tree encoded in fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Creates a fresh temporary directory once per process ("<tmp>/kest-fuzz-<target>-XXXXXX")
// and returns it; removed again at exit.
const std::string& scratch_dir(const char* target);

// Deletes everything below dir (dir itself stays). Read-only directories are opened up first.
void empty_dir(const std::string& dir);
// Removes dir and everything below it.
void remove_tree(const std::string& dir);
// Copies the tree below from into the existing directory to (types, modes, contents, links).
void copy_tree(const std::string& from, const std::string& to);
// Copies the entry src to dst (a directory with everything below it when below is set).
void copy_entry(const std::string& src, const std::string& dst, bool below);
// Writes bytes to a host path, creating its parents; false when it cannot.
bool put_file(const std::string& path, std::string_view bytes);

// path (relative to dir) -> type, mode, size, content digest and link target of every entry
// below dir. Directory times are left out: creating and removing an entry changes them.
using Fingerprint = std::map<std::string, std::string>;
Fingerprint fingerprint(const std::string& dir);
// The differences, one line each, for a report.
std::string fingerprint_diff(const Fingerprint& before, const Fingerprint& after);
// Makes the tree below dir, whose fingerprint is dir_print, equal to the tree below model
// (fingerprint model_print) again, touching only the entries that differ.
void restore_tree(const std::string& model, const Fingerprint& model_print,
                  const std::string& dir, const Fingerprint& dir_print);

// Open descriptors of this process: the numbers, and their count.
std::set<int> open_descriptors();
int open_descriptor_count();

// Reads structured choices from fuzz input; past the end every read gives zeros.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  size_t left() const { return at_ < size_ ? size_ - at_ : 0; }
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() { return uint16_t(u8() | u8() << 8); }
  uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
  // Up to n bytes (fewer at the end).
  std::string_view bytes(size_t n);
  // A length-prefixed (one byte) piece.
  std::string_view piece() { return bytes(u8()); }
  std::string_view rest() { return bytes(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Builds a directory tree below roots from fuzz input: a sequence of entries, each a kind byte
// (low bits: file, directory, symbolic link, FIFO, empty file; the rest: which of the roots),
// a path piece and, for files and links, a content piece (two-byte length). The tree itself never leaves root: "." and ".."
// components are dropped and no link is followed while it is built (an entry whose way
// passes a link is left out), though the links it plants may point anywhere. Stops after
// max_entries.
void build_tree(ByteReader& in, const std::vector<std::string>& roots, size_t max_entries);

// Silences console output for the life of the object (the fuzzer's own output stays).
class QuietConsole {
 public:
  QuietConsole();
  ~QuietConsole();

 private:
  void* capture_;
};

// Ends the process with a report on standard error (libFuzzer treats it as a crash and keeps
// the input).
[[noreturn]] void oracle_failure(const char* target, const std::string& what);
