// Bundles built from fuzz input and installed into the scratch root of install_world.h: the
// bundle's header, metadata and contents list, then a sequence of members, each a genuine
// member of the world (as signed, or with one byte patched), a member header of any name,
// version and length followed by arbitrary bytes, or a raw part. The file header may lie
// about the length and the magic may be the plain one.
#include <cstdint>
#include <string>
#include <vector>

#include "archive/part_type.h"
#include "archive_writer.h"
#include "fuzz_support.h"
#include "install_world.h"

namespace {

const char* const kNames[] = {"suite", "base", "alpha", "beta", "part", "tool", "vpn", ""};

std::string name(ByteReader& in) {
  uint8_t pick = in.u8();
  if (pick < 0xF0) return kNames[pick % 8];
  return std::string(in.bytes(pick & 0x0F ? 16 : in.u8()));
}

uint32_t version(ByteReader& in) {
  static const uint32_t kVersions[] = {0x01006600, 0x01016600, 0x02006600, 0, 0xFFFFFFFF,
                                       0x00006100, 0x01006600, 0x03006600};
  uint8_t pick = in.u8();
  return pick < 0xF8 ? kVersions[pick % 8] : in.u32();
}

std::vector<PackageRef> refs(ByteReader& in) {
  std::vector<PackageRef> list(in.u8() % 5);
  for (PackageRef& r : list) {
    r.name = name(in);
    r.min_version = version(in);
    r.max_version = in.u8() & 1 ? version(in) : 0;
    r.priority = int8_t(in.u8());
  }
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InstallWorld& world = InstallWorld::get("bundle");
  ByteReader in(data, size);
  uint8_t flags = in.u8();

  kpk::BundleSpec bundle;
  bundle.name = name(in);
  bundle.version = version(in);
  bundle.build = in.u8() & 1 ? 1700000000 : in.u32();
  if (flags & 1) bundle.depends = refs(in);
  if (flags & 2) bundle.provides = refs(in);
  if (flags & 4) bundle.conflicts = refs(in);
  if (flags & 8) {
    bundle.has_image = true;
    bundle.image = std::string(in.piece());
  }
  bundle.has_contents = flags & 16;
  if (bundle.has_contents) bundle.contents = refs(in);

  std::vector<std::string> members;
  for (int n = in.u8() % 7; n > 0 && !in.empty(); --n) {
    uint8_t op = in.u8();
    switch (op % 5) {
      case 0:
        members.push_back(world.member_parts(op / 5));
        break;
      case 1: {
        std::string m = world.member_parts(op / 5);
        uint16_t at = in.u16();
        m[at % m.size()] = char(in.u8());
        members.push_back(m);
        break;
      }
      case 2: {
        // A member header of any length, then whatever follows.
        std::string member_name = name(in);
        uint32_t member_version = version(in);
        std::string body = kpk::header_record(member_name, member_version, 1700000000);
        uint8_t cut = in.u8();
        if (cut < 32) body.resize(cut);
        uint32_t length = in.u8() & 1 ? in.u32() : uint32_t(body.size());
        members.push_back(kpk::part_header(PackageHeader, length) + body +
                          std::string(in.bytes(in.u16() % 2048)));
        break;
      }
      case 3: {
        uint16_t type = in.u8() % 24;
        members.push_back(kpk::part(type, in.bytes(in.u16() % 2048)));
        break;
      }
      case 4: {
        uint16_t type = in.u8() % 24;
        members.push_back(kpk::part_header(type, in.u32()));
        break;
      }
    }
  }
  std::string archive = kpk::bundle_archive(bundle, members, flags & 32);
  if (flags & 64) {
    uint32_t length = in.u32();
    for (int i = 0; i < 4; ++i) archive[4 + size_t(i)] = char(length >> (8 * i));
  }
  archive += in.rest();  // whatever is left trails the bundle
  world.run(archive);
  return 0;
}
