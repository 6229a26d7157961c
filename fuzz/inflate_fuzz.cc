// The inflating stream on arbitrary bytes. The input is one archive whose first FileData part
// holds the fuzz input's zlib bytes, read the way the extraction reads it: 30-byte record
// headers, names and contents, with forward seeks over skipped contents. Corrupt, truncated
// or endless data must end the decompressed bytes without reading past the part.
#include <cstdint>
#include <string>

#include "archive/inflate_reader.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "fuzz_support.h"
#include "testing/stream_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(data, size);
  uint8_t flags = in.u8();
  std::string zlib(in.rest());
  // A trailing part after the file data: the inflater must not take its bytes.
  std::string tail = kpk::part(Signature, std::string(68, 'S'));
  std::string parts = kpk::part(FileData, zlib) + tail;
  std::string archive = kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts;

  MemoryStream source(archive, flags & 1);
  PartReader r(source, flags & 2);
  r.want(FileData);
  r.want(Signature);
  if (r.next_part() != FileData) oracle_failure("inflate", "no file data part");
  uint64_t produced = 0;
  {
    InflateReader z(r);
    char header[kFileRecordHeaderSize];
    std::string name;
    for (int records = 0; records < 100000; ++records) {
      if (!z.read(header, sizeof header)) break;
      FileRecordHeader h = decode_file_record_header(reinterpret_cast<uint8_t*>(header));
      name.resize(h.name_length);
      if (!z.read(name.data(), h.name_length)) break;
      produced += sizeof header + h.name_length;
      if (flags & 4) {
        z.seekg(h.size, std::ios_base::cur);
      } else {
        char chunk[4096];
        uint64_t left = h.size;
        while (left > 0 && z) {
          std::streamsize n = std::streamsize(left < sizeof chunk ? left : sizeof chunk);
          z.read(chunk, n);
          left -= uint64_t(z.gcount());
        }
      }
      if (!z) break;
      produced += h.size;
      if (produced > (uint64_t(1) << 24)) break;  // bounded time per input
    }
  }
  // Whatever the inflater did, the part reader stays inside the part and finds the next one.
  if (r.remaining() > zlib.size()) oracle_failure("inflate", "remaining grew");
  r.clear();
  if (r.next_part() != Signature) oracle_failure("inflate", "the part after the file data was lost");
  return 0;
}
