// available_memory over a scratch /proc and /sys: the kernel's estimate, lowered by every
// level of a v2 or v1 memory cgroup. Real cgroups: old_config_test.cc.
#include "system/memory.h"

#include <sys/sysinfo.h>

#include <gtest/gtest.h>

#include "testing/scratch_root.h"

namespace {

class MemoryTest : public ScratchRoot {};

const char kMeminfo[] = "MemTotal: 4000000 kB\nMemFree: 1000 kB\nMemAvailable: 3000000 kB\n";
const char kV2Mount[] = "30 22 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
const char kV1Mount[] =
    "31 22 0:27 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
    "32 22 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";

TEST_F(MemoryTest, TheLeastRoomAtAnyLevel) {
  struct Case {
    const char* name;
    const char* mountinfo;
    const char* cgroup;
    std::vector<std::pair<const char*, const char*>> files;  // below /sys/fs/cgroup
    uint64_t want;
  };
  const uint64_t estimate = 3000000ull * 1024;
  const Case cases[] = {
      {"no cgroup mounted", "", "0::/a\n", {}, estimate},
      {"v2, the process's own group", kV2Mount, "0::/a/b\n",
       {{"a/b/memory.max", "50000000\n"}, {"a/b/memory.current", "20000000\n"}}, 30000000},
      {"v2, a parent leaves less", kV2Mount, "0::/a/b\n",
       {{"a/b/memory.max", "50000000\n"}, {"a/b/memory.current", "20000000\n"},
        {"a/memory.max", "30000000\n"}, {"a/memory.current", "29000000\n"}}, 1000000},
      {"v2 without a limit", kV2Mount, "0::/a\n",
       {{"a/memory.max", "max\n"}, {"a/memory.current", "20000000\n"}}, estimate},
      {"v2, the usage beyond the limit", kV2Mount, "0::/a\n",
       {{"a/memory.max", "1000\n"}, {"a/memory.current", "5000\n"}}, 0},
      {"v2 limit larger than the estimate", kV2Mount, "0::/a\n",
       {{"a/memory.max", "999999999999\n"}, {"a/memory.current", "0\n"}}, estimate},
      {"v1 memory controller", kV1Mount, "5:cpu:/x\n4:memory:/m\n0::/\n",
       {{"memory/m/memory.limit_in_bytes", "9000000\n"},
        {"memory/m/memory.usage_in_bytes", "1000000\n"}, {"cpu/x/memory.max", "1\n"}},
       8000000},
      {"v2 in a cgroup namespace: the mount shows /a", 
       "30 22 0:26 /a /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", "0::/a/b\n",
       {{"b/memory.max", "7000000\n"}, {"b/memory.current", "2000000\n"}}, 5000000},
      {"v2, a group of another hierarchy's mount is not ours",
       "30 22 0:26 /z /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", "0::/a\n",
       {{"memory.max", "1\n"}, {"memory.current", "0\n"}}, estimate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    put(host("/proc/meminfo"), kMeminfo);
    put(host("/proc/self/mountinfo"), c.mountinfo);
    put(host("/proc/self/cgroup"), c.cgroup);
    for (auto [path, text] : c.files) put(host(std::string("/sys/fs/cgroup/") + path), text);
    EXPECT_EQ(available_memory(), c.want);
  }
}

TEST_F(MemoryTest, WithoutTheKernelsEstimateFreeAndBufferMemory) {
  put(host("/proc/meminfo"), "MemTotal: 4000000 kB\nMemFree: 1000 kB\n");
  uint64_t got = available_memory();
  struct sysinfo info;
  ASSERT_EQ(sysinfo(&info), 0);
  EXPECT_GT(got, 0u);
  EXPECT_LE(got, uint64_t(info.totalram) * info.mem_unit);
  EXPECT_NE(got, 1000u * 1024);  // not MemFree of the file
}

}  // namespace
