// The part reader on arbitrary bytes: a few control bytes choose hashing, a copy target, a
// seekable or pipe-like source, the wanted part types and the reads done in each part; the
// rest is the archive. Besides the sanitizers it checks the reader's own promises: reads and
// moves stay inside the current part, positions add up, and the copy target receives
// exactly the bytes taken from the source, in order.
#include <cstdint>
#include <string>

#include "archive/package.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "fuzz_support.h"
#include "testing/stream_util.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) oracle_failure("part_reader", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(data, size);
  uint8_t flags = in.u8();
  uint8_t wanted_count = in.u8() % 14;
  std::string wanted;
  for (uint8_t i = 0; i < wanted_count; ++i) wanted.push_back(char(in.u8() % 24));
  std::string ops(in.bytes(in.u8() % 16));
  if (ops.empty()) ops = "\x01";
  std::string archive(in.rest());

  bool hashing = flags & 1;
  bool copying = flags & 2;
  bool seekable = flags & 4;
  MemoryStream source(archive, seekable);
  StringSink copy;
  PartReader r(source, hashing, copying ? &copy : nullptr);
  for (char t : wanted) r.want(t);
  if (wanted.empty())
    for (int32_t t : {1, 2, 3, 4, 7, 8, 9, 16, 17, 18, 19, 20, 21}) r.want(t);

  size_t step = 0;
  char buf[512];
  for (int parts = 0; parts < 4096 && r.next_part() >= 0; ++parts) {
    uint32_t length = r.current_length();
    check(r.position() <= archive.size(), "part position beyond the archive");
    if ((r.current_type() == PackageHeader || r.current_type() == BundleHeader) && (flags & 8)) {
      PackageInfo info;
      read_package_info(info, r);
      if (r.current_type() < 0) break;
      continue;
    }
    if (r.current_type() == Signature && (flags & 16)) {
      r.verify_signature_part();
      continue;
    }
    for (int k = 0; k < 8 && r; ++k) {
      uint8_t op = uint8_t(ops[step++ % ops.size()]);
      uint32_t before = r.remaining();
      switch (op % 6) {
        case 0:
        case 1: {
          size_t want = (op >> 3) * 16 + 1;
          r.read(buf, std::streamsize(want));
          check(size_t(r.gcount()) <= want && uint32_t(r.gcount()) <= before,
                "a read delivered more than the part held");
          check(r.remaining() == before - uint32_t(r.gcount()), "remaining does not add up");
          break;
        }
        case 2:
          r.seekg(std::streamoff(op >> 3) * 7, std::ios_base::cur);
          break;
        case 3: {
          std::streamoff target = std::streamoff(op >> 3) * 3;
          r.seekg(target);
          if (r) check(r.remaining() == length - uint32_t(target), "seek target is off");
          break;
        }
        case 4:
          if (r.get() != EOF) r.unget();
          break;
        case 5: {
          std::streamsize got = r.readsome(buf, sizeof buf);
          check(uint32_t(got) <= before, "readsome delivered more than the part held");
          break;
        }
      }
      if (r) {
        std::streamoff at = r.tellg();
        check(at >= 0 && uint64_t(at) <= length, "tellg outside the part");
        check(uint64_t(r.position()) + uint64_t(at) <= archive.size(), "offset beyond the archive");
      }
    }
    r.clear(r.rdstate() & std::ios_base::badbit);
  }
  uint8_t digest[20];
  r.take_package_digest(digest);
  if (copying) {
    check(copy.data().size() <= archive.size(), "the copy target got more than the archive");
    check(archive.compare(0, copy.data().size(), copy.data()) == 0,
          "the copy target differs from the archive");
  }
  return 0;
}
